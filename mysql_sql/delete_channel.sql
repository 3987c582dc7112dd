-- The channel goes with its sub-channels and the privileges stored for all of them, so no
-- orphan rows are left behind.
DELETE FROM vh2_channel_privileges
WHERE i_cp_server_id = :iServerID
  AND i_cp_channel_id IN (
    SELECT i_channel_id FROM vh2_channels
    WHERE i_channel_server_id = :iServerID
      AND (i_channel_id = :iChannelID OR i_channel_parent_id = :iChannelID));
DELETE FROM vh2_channels
WHERE i_channel_server_id = :iServerID
  AND (i_channel_id = :iChannelID OR i_channel_parent_id = :iChannelID);
