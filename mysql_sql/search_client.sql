-- The name is a LIKE pattern (callers put % around a fragment, or pass an exact name); it
-- matches without regard to case, as it does with the SQLite scripts.
SELECT i_client_id, s_client_name, b_client_privilege_serveradmin, dt_client_created,
       dt_client_lastonline
FROM vh2_clients
WHERE i_client_server_id = :iServerID AND LOWER(s_client_name) LIKE LOWER(:sName)
ORDER BY i_client_id;
