DELETE FROM vh2_bans WHERE i_ban_server_id = :iServerID;
