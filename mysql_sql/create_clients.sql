-- Server id 0 holds the super users, who belong to no virtual server.
CREATE TABLE vh2_clients (
  i_client_id INT NOT NULL AUTO_INCREMENT,
  i_client_server_id INT NOT NULL,
  s_client_name VARCHAR(255) NOT NULL,
  s_client_password VARCHAR(255) NOT NULL DEFAULT '',
  dt_client_created VARCHAR(32) NULL,
  dt_client_lastonline VARCHAR(32) NULL,
  b_client_privilege_serveradmin TINYINT NOT NULL DEFAULT 0,
  UNIQUE KEY clients_unique (i_client_server_id, s_client_name),
  PRIMARY KEY (i_client_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
