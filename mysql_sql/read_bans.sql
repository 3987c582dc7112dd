SELECT i_ban_id, s_ban_ip, dt_ban_created, i_ban_minutes, s_ban_by
FROM vh2_bans
WHERE i_ban_server_id = :iServerID
ORDER BY i_ban_id;
