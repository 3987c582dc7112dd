SELECT i_server_id
FROM vh2_servers
WHERE i_server_udpport = :iPort;
