-- One statement: the indexes are part of the table, so creating it is one step.
CREATE TABLE vh2_channel_privileges (
  i_cp_id INT NOT NULL AUTO_INCREMENT,
  i_cp_server_id INT NOT NULL,
  i_cp_channel_id INT NOT NULL,
  i_cp_client_id INT NOT NULL,
  b_cp_flag_admin TINYINT NOT NULL DEFAULT 0,
  b_cp_flag_autoop TINYINT NOT NULL DEFAULT 0,
  b_cp_flag_autovoice TINYINT NOT NULL DEFAULT 0,
  UNIQUE KEY channel_privileges_unique (i_cp_server_id, i_cp_channel_id, i_cp_client_id),
  PRIMARY KEY (i_cp_id),
  KEY vh2_channel_privileges_client (i_cp_server_id, i_cp_client_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
