INSERT INTO vh2_bans (i_ban_server_id, s_ban_by, s_ban_ip, dt_ban_created, i_ban_minutes)
VALUES (:iServerID, :sBy, :sIP, :dtCreated, :iMinutes);
