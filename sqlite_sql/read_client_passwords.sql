-- Every account's stored password, for the conversion of plain-text ones at start-up.
SELECT i_client_id, s_client_password
FROM vh2_clients
ORDER BY i_client_id;
