UPDATE vh2_channels SET
  s_channel_password = :sPassword,
  s_channel_name = :sName,
  s_channel_topic = :sTopic,
  s_channel_description = :sDescription,
  i_channel_maxusers = :iMaxUsers,
  i_channel_order = :iOrder,
  i_channel_codec = :iCodec,
  b_channel_flag_moderated = :bModerated,
  b_channel_flag_hierarchical = :bHierarchical,
  b_channel_flag_default = :bDefault
WHERE i_channel_server_id = :iServerID AND i_channel_id = :iChannelID;
