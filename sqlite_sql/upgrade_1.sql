ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex2150 INTEGER NOT NULL DEFAULT -1;
