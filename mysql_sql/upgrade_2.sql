-- Start-up runs no schema upgrade with this back-end; kept for an administrator moving an
-- older database forward by hand.
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex15000 TINYINT NOT NULL DEFAULT -1;
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex18200 TINYINT NOT NULL DEFAULT -1;
ALTER TABLE vh2_servers ADD COLUMN b_server_allow_codec_speex24600 TINYINT NOT NULL DEFAULT -1;
