SELECT
  p.i_cp_channel_id AS i_cp_channel_id,
  ch.i_channel_parent_id AS i_channel_parent_id,
  ch.s_channel_name AS s_channel_name,
  p.b_cp_flag_admin AS b_cp_flag_admin,
  p.b_cp_flag_autoop AS b_cp_flag_autoop,
  p.b_cp_flag_autovoice AS b_cp_flag_autovoice
FROM vh2_channel_privileges p
JOIN vh2_channels ch ON ch.i_channel_id = p.i_cp_channel_id
WHERE p.i_cp_server_id = :iServerID AND p.i_cp_client_id = :iClientID
ORDER BY p.i_cp_channel_id;
