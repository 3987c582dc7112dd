-- Server id 0 holds the super users, who belong to no virtual server.
CREATE TABLE vh2_clients (
  i_client_id INTEGER PRIMARY KEY AUTOINCREMENT,
  i_client_server_id INTEGER NOT NULL,
  s_client_name TEXT NOT NULL,
  s_client_password TEXT NOT NULL DEFAULT '',
  dt_client_created TEXT,
  dt_client_lastonline TEXT,
  b_client_privilege_serveradmin INTEGER NOT NULL DEFAULT 0,
  UNIQUE (i_client_server_id, s_client_name)
);
