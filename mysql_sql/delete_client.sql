-- The stored channel privileges of the account go with it, in the same transaction.
DELETE FROM vh2_channel_privileges
WHERE i_cp_server_id = :iServerID AND i_cp_client_id = :iClientID;
DELETE FROM vh2_clients
WHERE i_client_server_id = :iServerID AND i_client_id = :iClientID;
