CREATE TABLE vh2_channel_privileges (
  i_cp_id INTEGER PRIMARY KEY AUTOINCREMENT,
  i_cp_server_id INTEGER NOT NULL,
  i_cp_channel_id INTEGER NOT NULL,
  i_cp_client_id INTEGER NOT NULL,
  b_cp_flag_admin INTEGER NOT NULL DEFAULT 0,
  b_cp_flag_autoop INTEGER NOT NULL DEFAULT 0,
  b_cp_flag_autovoice INTEGER NOT NULL DEFAULT 0,
  UNIQUE (i_cp_server_id, i_cp_channel_id, i_cp_client_id)
);
CREATE INDEX vh2_channel_privileges_client
  ON vh2_channel_privileges (i_cp_server_id, i_cp_client_id);
