DELETE FROM vh2_bans WHERE i_ban_server_id = :iServerID AND s_ban_ip = :sIP;
