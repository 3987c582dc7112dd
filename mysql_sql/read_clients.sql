SELECT i_client_id, s_client_name, dt_client_created, dt_client_lastonline,
       b_client_privilege_serveradmin
FROM vh2_clients
WHERE i_client_server_id = :iServerID
ORDER BY i_client_id;
