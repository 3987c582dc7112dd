INSERT INTO vh2_servers (i_server_udpport, dt_server_created)
VALUES (:iServerPort, :dtServerCreated);
