SELECT i_client_id, b_client_privilege_serveradmin, dt_client_created
FROM vh2_clients
WHERE s_client_password = :sPassword
  AND s_client_name = :sName
  AND i_client_server_id = :iServerID;
