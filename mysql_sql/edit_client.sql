-- The password changes only through edit_client_password.sql.
UPDATE vh2_clients SET
  s_client_name = :sName,
  b_client_privilege_serveradmin = :bServerAdmin
WHERE i_client_id = :iClientId AND i_client_server_id = :iServerID;
