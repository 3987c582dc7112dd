SELECT
  p.i_cp_client_id AS i_cp_client_id,
  c.s_client_name AS s_client_name,
  p.b_cp_flag_admin AS b_cp_flag_admin,
  p.b_cp_flag_autoop AS b_cp_flag_autoop,
  p.b_cp_flag_autovoice AS b_cp_flag_autovoice
FROM vh2_channel_privileges p
LEFT JOIN vh2_clients c ON c.i_client_id = p.i_cp_client_id
WHERE p.i_cp_server_id = :iServerID AND p.i_cp_channel_id = :iChannelID
ORDER BY p.i_cp_client_id;
