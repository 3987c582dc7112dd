-- The name is a LIKE pattern: callers pass '%' around a fragment, or an exact name.
SELECT i_client_id, s_client_name, b_client_privilege_serveradmin, dt_client_created,
       dt_client_lastonline
FROM vh2_clients
WHERE i_client_server_id = :iServerID AND s_client_name LIKE :sName
ORDER BY i_client_id;
