UPDATE vh2_clients SET dt_client_lastonline = :dtLastOnline
WHERE i_client_id = :iClientID;
