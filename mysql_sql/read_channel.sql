SELECT
  i_channel_id,
  i_channel_parent_id,
  dt_channel_created,
  s_channel_password,
  i_channel_maxusers,
  i_channel_order,
  s_channel_description,
  s_channel_topic,
  s_channel_name,
  i_channel_codec,
  b_channel_flag_moderated,
  b_channel_flag_hierarchical,
  b_channel_flag_default
FROM vh2_channels
WHERE i_channel_server_id = :iServerID AND i_channel_id = :iChannelID;
