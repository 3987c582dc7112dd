-- A virtual server takes its channels, privileges, accounts and bans with it. Id 0 is no
-- server: its accounts are the super users and must survive any call with it.
DELETE FROM vh2_channel_privileges WHERE i_cp_server_id = :iServerID AND :iServerID > 0;
DELETE FROM vh2_channels WHERE i_channel_server_id = :iServerID AND :iServerID > 0;
DELETE FROM vh2_server_privileges WHERE i_sp_server_id = :iServerID AND :iServerID > 0;
DELETE FROM vh2_clients WHERE i_client_server_id = :iServerID AND :iServerID > 0;
DELETE FROM vh2_bans WHERE i_ban_server_id = :iServerID AND :iServerID > 0;
DELETE FROM vh2_servers WHERE i_server_id = :iServerID;
