-- Auto-operator and auto-voice only mean something in a moderated channel; channel admin stays.
-- Entries left without any flag are removed.
UPDATE vh2_channel_privileges SET b_cp_flag_autoop = 0, b_cp_flag_autovoice = 0
WHERE i_cp_server_id = :iServerID AND i_cp_channel_id = :iChannelID;
DELETE FROM vh2_channel_privileges
WHERE i_cp_server_id = :iServerID AND i_cp_channel_id = :iChannelID
  AND b_cp_flag_admin = 0 AND b_cp_flag_autoop = 0 AND b_cp_flag_autovoice = 0;
