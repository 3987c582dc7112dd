-- The stored password is a hash: the program checks the typed one against it.
SELECT i_client_id, s_client_password, b_client_privilege_serveradmin, dt_client_created
FROM vh2_clients
WHERE s_client_name = :sName
  AND i_client_server_id = :iServerID;
