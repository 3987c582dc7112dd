CREATE TABLE vh2_bans (
  i_ban_id INTEGER PRIMARY KEY AUTOINCREMENT,
  i_ban_server_id INTEGER NOT NULL,
  s_ban_ip TEXT NOT NULL,
  dt_ban_created TEXT,
  i_ban_minutes INTEGER NOT NULL DEFAULT 0,
  s_ban_by TEXT NOT NULL DEFAULT ''
);
CREATE INDEX vh2_bans_server_ip ON vh2_bans (i_ban_server_id, s_ban_ip);
