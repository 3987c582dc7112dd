-- Start-up runs no schema upgrade with this back-end; kept for an administrator moving an
-- older database forward by hand.
ALTER TABLE vh2_clients ADD COLUMN dt_client_lastonline VARCHAR(32) NULL;
