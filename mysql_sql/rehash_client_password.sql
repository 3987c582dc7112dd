-- Replaces a stored value by its hash, unless the password changed meanwhile.
UPDATE vh2_clients SET s_client_password = :sPassword
WHERE i_client_id = :iClientID AND s_client_password = :sOldPassword;
