-- One statement: the indexes are part of the table, so creating it is one step.
CREATE TABLE vh2_channels (
  i_channel_id INT NOT NULL AUTO_INCREMENT,
  i_channel_server_id INT NOT NULL,
  i_channel_parent_id INT NOT NULL DEFAULT -1,
  dt_channel_created VARCHAR(32) NULL,
  s_channel_password VARCHAR(255) NOT NULL DEFAULT '',
  i_channel_maxusers INT NOT NULL DEFAULT 0,
  i_channel_order INT NOT NULL DEFAULT 0,
  s_channel_description TEXT NOT NULL,
  s_channel_topic TEXT NOT NULL,
  s_channel_name VARCHAR(255) NOT NULL DEFAULT '',
  i_channel_codec INT NOT NULL DEFAULT 0,
  b_channel_flag_moderated TINYINT NOT NULL DEFAULT 0,
  b_channel_flag_hierarchical TINYINT NOT NULL DEFAULT 0,
  b_channel_flag_default TINYINT NOT NULL DEFAULT 0,
  PRIMARY KEY (i_channel_id),
  KEY vh2_channels_server (i_channel_server_id, i_channel_parent_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
