-- One statement: the indexes are part of the table, so creating it is one step.
CREATE TABLE vh2_bans (
  i_ban_id INT NOT NULL AUTO_INCREMENT,
  i_ban_server_id INT NOT NULL,
  s_ban_ip VARCHAR(255) NOT NULL,
  dt_ban_created VARCHAR(32) NULL,
  i_ban_minutes INT NOT NULL DEFAULT 0,
  s_ban_by VARCHAR(1024) NOT NULL DEFAULT '',
  PRIMARY KEY (i_ban_id),
  KEY vh2_bans_server_ip (i_ban_server_id, s_ban_ip)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
