SELECT i_server_id, b_server_active, s_server_name, i_server_udpport
FROM vh2_servers
ORDER BY i_server_id;
