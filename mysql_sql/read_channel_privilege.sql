SELECT b_cp_flag_admin, b_cp_flag_autoop, b_cp_flag_autovoice
FROM vh2_channel_privileges
WHERE i_cp_server_id = :iServerID
  AND i_cp_client_id = :iClientID
  AND i_cp_channel_id = :iChannelID;
