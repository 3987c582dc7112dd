-- Start-up runs no schema upgrade with this back-end; kept for an administrator moving an
-- older database forward by hand.
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex2150 TINYINT NOT NULL DEFAULT -1;
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex3950 TINYINT NOT NULL DEFAULT -1;
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex5950 TINYINT NOT NULL DEFAULT -1;
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex8000 TINYINT NOT NULL DEFAULT -1;
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex11000 TINYINT NOT NULL DEFAULT -1;
