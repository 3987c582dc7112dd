-- :sPassword is the hash of the new password.
UPDATE vh2_clients SET s_client_password = :sPassword
WHERE i_client_id = :iClientID AND i_client_server_id = :iServerID;
