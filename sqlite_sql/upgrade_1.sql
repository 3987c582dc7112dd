ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex2150 INTEGER NOT NULL DEFAULT -1;
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex3950 INTEGER NOT NULL DEFAULT -1;
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex5950 INTEGER NOT NULL DEFAULT -1;
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex8000 INTEGER NOT NULL DEFAULT -1;
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex11000 INTEGER NOT NULL DEFAULT -1;
