SELECT
  s_server_name,
  s_server_welcomemessage,
  i_server_maxusers,
  i_server_udpport,
  s_server_password,
  b_server_clan_server,
  b_server_allow_codec_celp51,
  b_server_allow_codec_celp63,
  b_server_allow_codec_gsm148,
  b_server_allow_codec_gsm164,
  b_server_allow_codec_celp52,
  b_server_allow_codec_speex2150,
  b_server_allow_codec_speex3950,
  b_server_allow_codec_speex5950,
  b_server_allow_codec_speex8000,
  b_server_allow_codec_speex11000,
  b_server_allow_codec_speex15000,
  b_server_allow_codec_speex18200,
  b_server_allow_codec_speex24600,
  s_server_weblinkurl,
  s_server_webposturl
FROM vh2_servers
WHERE i_server_id = :iServerID;
