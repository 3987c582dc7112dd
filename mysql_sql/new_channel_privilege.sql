INSERT INTO vh2_channel_privileges (
  i_cp_server_id, i_cp_client_id, i_cp_channel_id,
  b_cp_flag_admin, b_cp_flag_autoop, b_cp_flag_autovoice
) VALUES (
  :iServerID, :iClientID, :iChannelID,
  :bAdmin, :bAutoOP, :bAutoVoice
);
