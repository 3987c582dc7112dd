INSERT INTO vh2_clients (
  s_client_name, s_client_password, i_client_server_id, dt_client_created,
  b_client_privilege_serveradmin
) VALUES (
  :sName, :sPassword, :iServerID, :dtCreated, :bServerAdmin
);
