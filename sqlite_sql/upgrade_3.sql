ALTER TABLE vh2_clients ADD COLUMN dt_client_lastonline TEXT;
