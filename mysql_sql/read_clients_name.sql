SELECT i_client_id, s_client_name, s_client_password, dt_client_created,
       b_client_privilege_serveradmin
FROM vh2_clients
WHERE s_client_name = :sName AND i_client_server_id = :iServerID;
