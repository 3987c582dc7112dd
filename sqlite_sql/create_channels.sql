CREATE TABLE vh2_channels (
  i_channel_id INTEGER PRIMARY KEY AUTOINCREMENT,
  i_channel_server_id INTEGER NOT NULL,
  i_channel_parent_id INTEGER NOT NULL DEFAULT -1,
  dt_channel_created TEXT,
  s_channel_password TEXT NOT NULL DEFAULT '',
  i_channel_maxusers INTEGER NOT NULL DEFAULT 0,
  i_channel_order INTEGER NOT NULL DEFAULT 0,
  s_channel_description TEXT NOT NULL DEFAULT '',
  s_channel_topic TEXT NOT NULL DEFAULT '',
  s_channel_name TEXT NOT NULL DEFAULT '',
  i_channel_codec INTEGER NOT NULL DEFAULT 0,
  b_channel_flag_moderated INTEGER NOT NULL DEFAULT 0,
  b_channel_flag_hierarchical INTEGER NOT NULL DEFAULT 0,
  b_channel_flag_default INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX vh2_channels_server ON vh2_channels (i_channel_server_id, i_channel_parent_id);
