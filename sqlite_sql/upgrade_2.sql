ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex15000 INTEGER NOT NULL DEFAULT -1;
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex18200 INTEGER NOT NULL DEFAULT -1;
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex24600 INTEGER NOT NULL DEFAULT -1;
