-- The six access-rights functions on PostgreSQL, run after the schema script (and again on
-- a database that lacks them, so every statement may meet what an earlier run made).
-- Names are unquoted, so the program's mixed-case calls find them. The text result
-- columns are unquoted as well (server, share, foldername, usergroupname, username): the
-- program's statements name them unquoted (ORDER BY Server, Share) and read them without
-- regard to case. The rights columns are quoted, spelt as the program's statements quote
-- them ("Full Control" with its blank, [Change], [Read]).
-- The longest name is cut to 63 characters by PostgreSQL, in its definition and in every
-- call alike.
--
-- Rights travel as bits in column order: shares 1 Full Control, 2 Change, 4 Read; folders
-- 1 ListDirectory, 2 AddFile, 4 AddSubdirectory, 8 Traverse, 16 DeleteChild, 32 Delete,
-- 64 FullControl. Masks: share Full 0x001F01FF = 2032127, Change 0x001301BF = 1245631,
-- Read 0x001200A9 = 1179817; folder full masks 0x001F01FF and 0x000F01FF = 983551.

-- Entries are found by account when one account's token is asked for.
CREATE INDEX IF NOT EXISTS idxShareAccessListSID ON ShareAccessList (UserGroupSID);
CREATE INDEX IF NOT EXISTS idxFolderAccessListSID ON folderaccesslist (UserGroupSID, FolderGUID);

-- The excluded-groups argument "SID, SID, ..." as data: split, trimmed, upper-cased; an
-- entry that is not a SID text is left out.
CREATE OR REPLACE FUNCTION velmora_excluded_sids(p_text text) RETURNS text[]
LANGUAGE sql IMMUTABLE AS $$
  SELECT coalesce(array_agg(DISTINCT e), '{}')
  FROM (SELECT upper(btrim(x)) AS e
        FROM unnest(string_to_array(coalesce(p_text, ''), ',')) AS x) s
  WHERE e ~ '^S-[0-9]+(-[0-9]+)+$'
$$;

-- The token of each account: its own SID, with p_groups every group reached through
-- User2Group without entering an excluded group (UNION ends cycles), with p_everyone
-- Everyone. User2Group keeps its SIDs blank-padded (char(47)).
CREATE OR REPLACE FUNCTION velmora_access_tokens(p_account text[], p_groups boolean,
                                                 p_everyone boolean, p_excluded text[])
RETURNS TABLE (account text, sid text)
LANGUAGE sql STABLE AS $$
  WITH RECURSIVE
  start AS (SELECT DISTINCT a AS account FROM unnest(p_account) AS a),
  walk(account, sid) AS (
    SELECT s.account, upper(btrim(s.account)) FROM start s
    UNION
    SELECT w.account, upper(rtrim(m.GroupSID::text))
    FROM walk w JOIN User2Group m ON m.UserGroupSID = w.sid::char(47)
    WHERE p_groups AND NOT (upper(rtrim(m.GroupSID::text)) = ANY (coalesce(p_excluded, '{}')))
  )
  SELECT w.account, w.sid FROM walk w
  UNION
  SELECT s.account, 'S-1-1-0' FROM start s WHERE p_everyone
$$;

-- Rights of tokens, given as (account, SID) pairs, on the shares of a domain (optionally of
-- one server and one share) or on their folders. Accounts whose tokens meet the same
-- entries are computed once. Folder rights are the NTFS rights capped by the token's share
-- rights; deny entries win over allow entries; rows without a right are left out.
CREATE OR REPLACE FUNCTION velmora_access_rights(p_domain text, p_server text, p_share text,
                                                 p_folders boolean, p_account text[],
                                                 p_sid text[])
RETURNS TABLE (account text, server text, share text, foldername text, rights integer)
LANGUAGE sql STABLE AS $$
  WITH
  sh AS (
    SELECT s.GUID AS guid, s.Server::text AS server, s.Share::text AS share
    FROM ServerShares s
    WHERE EXISTS (SELECT 1 FROM Servers v
                  WHERE v.Server = s.Server AND v.DomainName = coalesce(p_domain, ''))
      AND (p_server = '[ALL]' OR s.Server = p_server)
      AND (p_share = '[ALL]' OR s.Share = p_share)
  ),
  tok AS (
    SELECT DISTINCT t.account, upper(btrim(t.sid)) AS sid
    FROM unnest(p_account, p_sid) AS t(account, sid)
    WHERE t.account IS NOT NULL AND t.sid IS NOT NULL
  ),
  named AS (
    SELECT d.sid FROM (SELECT DISTINCT sid FROM tok) d
    WHERE EXISTS (SELECT 1 FROM ShareAccessList a JOIN sh ON sh.guid = a.ServerShareGUID
                  WHERE a.UserGroupSID = d.sid)
       OR (p_folders AND EXISTS (SELECT 1 FROM folderaccesslist a
                                 JOIN sharefolders f ON f.GUID = a.FolderGUID
                                 JOIN sh ON sh.guid = f.ServerShareGUID
                                 WHERE a.UserGroupSID = d.sid))
  ),
  sig AS (
    SELECT t.account, array_agg(t.sid ORDER BY t.sid) AS key
    FROM tok t JOIN named n ON n.sid = t.sid GROUP BY t.account
  ),
  keys AS (SELECT d.key, row_number() OVER () AS k FROM (SELECT DISTINCT key FROM sig) d),
  ktok AS (SELECT keys.k, unnest(keys.key) AS sid FROM keys),
  se AS (
    SELECT kt.k, a.ServerShareGUID AS guid,
           CASE WHEN coalesce(a.FullAccess, 0) <> 0 THEN a.FullAccess
                WHEN coalesce(a.ChangeAccess, 0) <> 0 THEN a.ChangeAccess
                ELSE coalesce(a.ReadAccess, 0) END = 2 AS deny,
           CASE WHEN coalesce(a.FullAccess, 0) <> 0 THEN 2032127
                WHEN coalesce(a.ChangeAccess, 0) <> 0 THEN 1245631
                WHEN coalesce(a.ReadAccess, 0) <> 0 THEN 1179817
                ELSE 0 END AS mask
    FROM ktok kt JOIN ShareAccessList a ON a.UserGroupSID = kt.sid
    JOIN sh ON sh.guid = a.ServerShareGUID
  ),
  sr AS (
    SELECT x.k, x.guid,
           (CASE WHEN x.eff & 2032127 = 2032127 THEN 1 ELSE 0 END) |
           (CASE WHEN x.eff & 1245631 = 1245631 THEN 2 ELSE 0 END) |
           (CASE WHEN x.eff & 1179817 = 1179817 THEN 4 ELSE 0 END) AS r
    FROM (SELECT k, guid,
                 coalesce(bit_or(mask) FILTER (WHERE NOT deny), 0) &
                 ~coalesce(bit_or(mask) FILTER (WHERE deny), 0) AS eff
          FROM se GROUP BY k, guid) x
  ),
  fe AS (
    SELECT kt.k, a.FolderGUID AS fguid, f.ServerShareGUID AS guid, x.deny,
           x.bits | CASE a.FullControl WHEN 1 THEN 2032127 WHEN 2 THEN 983551 ELSE 0 END AS mask,
           CASE WHEN x.deny THEN 0 ELSE coalesce(a.FullControl, 0) END AS allowfull
    FROM ktok kt JOIN folderaccesslist a ON a.UserGroupSID = kt.sid
    JOIN sharefolders f ON f.GUID = a.FolderGUID
    JOIN sh ON sh.guid = f.ServerShareGUID
    CROSS JOIN LATERAL (
      SELECT (CASE WHEN coalesce(a.ListDirectory, 0) <> 0 THEN 1 ELSE 0 END) |
             (CASE WHEN coalesce(a.AddFile, 0) <> 0 THEN 2 ELSE 0 END) |
             (CASE WHEN coalesce(a.AddSubdirectory, 0) <> 0 THEN 4 ELSE 0 END) |
             (CASE WHEN coalesce(a.Traverse, 0) <> 0 THEN 32 ELSE 0 END) |
             (CASE WHEN coalesce(a.DeleteChild, 0) <> 0 THEN 64 ELSE 0 END) |
             (CASE WHEN coalesce(a._Delete, 0) <> 0 THEN 65536 ELSE 0 END) AS bits,
             2 IN (a.ListDirectory, a.AddFile, a.AddSubdirectory, a.Traverse, a.DeleteChild,
                   a._Delete) IS TRUE AS deny) x
    WHERE p_folders
  ),
  fr AS (
    SELECT y.k, y.fguid, y.guid,
           (CASE WHEN y.eff & 1 <> 0 THEN 1 ELSE 0 END) |
           (CASE WHEN y.eff & 2 <> 0 THEN 2 ELSE 0 END) |
           (CASE WHEN y.eff & 4 <> 0 THEN 4 ELSE 0 END) |
           (CASE WHEN y.eff & 32 <> 0 THEN 8 ELSE 0 END) |
           (CASE WHEN y.eff & 64 <> 0 THEN 16 ELSE 0 END) |
           (CASE WHEN y.eff & 65536 <> 0 THEN 32 ELSE 0 END) |
           (CASE WHEN (y.full1 AND y.eff & 2032127 = 2032127)
                   OR (y.full2 AND y.eff & 983551 = 983551) THEN 64 ELSE 0 END) AS nt
    FROM (SELECT k, fguid, guid,
                 coalesce(bit_or(mask) FILTER (WHERE NOT deny), 0) &
                 ~coalesce(bit_or(mask) FILTER (WHERE deny), 0) AS eff,
                 bool_or(allowfull = 1) AS full1, bool_or(allowfull = 2) AS full2
          FROM fe GROUP BY k, fguid, guid) y
  ),
  res AS (
    SELECT sr.k, sr.guid, NULL::varchar AS fguid, sr.r FROM sr WHERE NOT p_folders AND sr.r <> 0
    UNION ALL
    SELECT c.k, c.guid, c.fguid, c.r
    FROM (SELECT fr.k, fr.guid, fr.fguid,
                 CASE WHEN sr.r & 1 <> 0 THEN fr.nt
                      WHEN sr.r & 2 <> 0 THEN fr.nt & 63
                      WHEN sr.r & 4 <> 0 THEN fr.nt & 9
                      ELSE 0 END AS r
          FROM fr JOIN sr ON sr.k = fr.k AND sr.guid = fr.guid) c
    WHERE p_folders AND c.r <> 0
  )
  SELECT sig.account, sh.server, sh.share, f.FolderName::text, res.r
  FROM sig JOIN keys ON keys.key = sig.key
  JOIN res ON res.k = keys.k
  JOIN sh ON sh.guid = res.guid
  LEFT JOIN sharefolders f ON f.GUID = res.fguid
$$;

-- Callers pass accounts by their UserGroupList.SID text as stored and find the account rows
-- again by exact comparison ("C"): the table's case-insensitive collation cannot be hashed
-- cheaply, and a join on it over every result row is slow.

-- Account side: the accounts' tokens by level letters, then their rights on the domain.
CREATE OR REPLACE FUNCTION velmora_account_access(p_function text, p_domain text,
                                                  p_accounts text[], p_excluded text,
                                                  p_level text, p_folders boolean)
RETURNS TABLE (account text, server text, share text, foldername text, rights integer)
LANGUAGE plpgsql STABLE AS $$
DECLARE
  lvl text := upper(coalesce(p_level, ''));
  with_groups boolean;
  acc text[];
  sids text[];
BEGIN
  IF lvl NOT IN ('', 'G', 'E', 'GE', 'EG') THEN
    RAISE EXCEPTION '%: the access relation level "%" is not one of "", G, E, GE',
      p_function, coalesce(p_level, '');
  END IF;
  with_groups := strpos(lvl, 'G') > 0;
  SELECT array_agg(t.account), array_agg(t.sid) INTO acc, sids
  FROM velmora_access_tokens(p_accounts, with_groups, strpos(lvl, 'E') > 0,
                             CASE WHEN with_groups THEN velmora_excluded_sids(p_excluded)
                                  ELSE '{}'::text[] END) t;
  RETURN QUERY
    SELECT r.account, r.server, r.share, r.foldername, r.rights
    FROM velmora_access_rights(p_domain, '[ALL]', '[ALL]', p_folders, acc, sids) r;
END;
$$;

-- The accounts of a domain: its groups (p_groups) or its users, by SID.
CREATE OR REPLACE FUNCTION velmora_domain_accounts(p_domain text, p_groups boolean)
RETURNS text[]
LANGUAGE sql STABLE AS $$
  SELECT coalesce(array_agg(u.SID::text), '{}') FROM UserGroupList u
  WHERE u.DomainName = coalesce(p_domain, '') AND (coalesce(u.isGroup, 0) <> 0) = p_groups
$$;

-- "1", "true" or a non-zero number: every group; anything else: every user.
CREATE OR REPLACE FUNCTION velmora_all_groups_flag(p_value text) RETURNS boolean
LANGUAGE sql IMMUTABLE AS $$
  SELECT CASE
    WHEN lower(btrim(coalesce(p_value, ''))) = 'true' THEN true
    WHEN btrim(coalesce(p_value, '')) ~ '^[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][+-]?[0-9]+)?$'
      THEN btrim(p_value)::float8 <> 0
    ELSE false END
$$;

-- Resource side: who reaches the shares (or folders) of a server.
CREATE OR REPLACE FUNCTION velmora_resource_access(p_function text, p_domain text,
                                                   p_server text, p_share text, p_level text,
                                                   p_folders boolean)
RETURNS TABLE (account text, server text, share text, foldername text, rights integer)
LANGUAGE plpgsql STABLE AS $$
DECLARE
  lvl text := upper(coalesce(p_level, ''));
  everyone_kind text;
  acc text[];
  sids text[];
BEGIN
  IF lvl !~ '^E?[SHX]$' THEN
    RAISE EXCEPTION '%: the access relation level "%" is not one of S, H, X, ES, EH, EX',
      p_function, coalesce(p_level, '');
  END IF;
  everyone_kind := right(lvl, 1);
  IF length(lvl) = 2 THEN
    -- Groups expanded: every user of the domain with its groups (and Everyone under X);
    -- Everyone as its own row under S.
    SELECT array_agg(t.account), array_agg(t.sid) INTO acc, sids
    FROM velmora_access_tokens(velmora_domain_accounts(p_domain, false), true,
                               everyone_kind = 'X', '{}') t;
    IF everyone_kind = 'S' THEN
      acc := coalesce(acc, '{}') || 'S-1-1-0'::text;
      sids := coalesce(sids, '{}') || 'S-1-1-0'::text;
    END IF;
  ELSE
    -- Every account named by an entry, with its own entries; under X the domain's users
    -- count Everyone's entries with their own, named or not, and Everyone's row goes.
    WITH
    sh AS (
      SELECT s.GUID AS guid FROM ServerShares s
      WHERE EXISTS (SELECT 1 FROM Servers v
                    WHERE v.Server = s.Server AND v.DomainName = coalesce(p_domain, ''))
        AND (p_server = '[ALL]' OR s.Server = p_server)
        AND (p_share = '[ALL]' OR s.Share = p_share)
    ),
    named AS (
      SELECT DISTINCT upper(a.UserGroupSID::text) AS sid
      FROM ShareAccessList a JOIN sh ON sh.guid = a.ServerShareGUID
      UNION
      SELECT DISTINCT upper(a.UserGroupSID::text)
      FROM folderaccesslist a JOIN sharefolders f ON f.GUID = a.FolderGUID
      JOIN sh ON sh.guid = f.ServerShareGUID
      WHERE p_folders
    ),
    cand AS (
      SELECT u.SID::text AS sid,
             everyone_kind = 'X' AND coalesce(u.isGroup, 0) = 0
               AND u.DomainName = coalesce(p_domain, '') AS with_everyone
      FROM named n JOIN UserGroupList u ON u.SID = n.sid
      WHERE n.sid <> 'S-1-1-0' OR everyone_kind = 'S'
      UNION
      SELECT u.SID::text, true FROM UserGroupList u
      WHERE everyone_kind = 'X' AND u.DomainName = coalesce(p_domain, '')
        AND coalesce(u.isGroup, 0) = 0
    ),
    pairs AS (
      SELECT c.sid AS account, c.sid FROM cand c
      UNION
      SELECT c.sid, 'S-1-1-0' FROM cand c WHERE c.with_everyone
    )
    SELECT array_agg(p.account), array_agg(p.sid) INTO acc, sids FROM pairs p;
  END IF;
  RETURN QUERY
    SELECT (u.DomainName || '\' || u.UserGroupName)::text, r.server, r.share, r.foldername,
           r.rights
    FROM velmora_access_rights(p_domain, coalesce(p_server, ''), coalesce(p_share, ''),
                               p_folders, acc, sids) r
    JOIN UserGroupList u ON u.SID::text COLLATE "C" = r.account COLLATE "C";
END;
$$;

DROP FUNCTION IF EXISTS ListActualAccessRightsToSharesWithRelativeACEsForUser(text, text, text, text);
CREATE FUNCTION ListActualAccessRightsToSharesWithRelativeACEsForUser(
  p_domain text, p_sid text, p_excluded text, p_level text)
RETURNS TABLE (server text, share text, "Full Control" boolean, "Change" boolean,
               "Read" boolean)
LANGUAGE sql STABLE AS $$
  SELECT r.server, r.share, r.rights & 1 <> 0, r.rights & 2 <> 0, r.rights & 4 <> 0
  FROM velmora_account_access('ListActualAccessRightsToSharesWithRelativeACEsForUser',
                              p_domain, ARRAY[coalesce(p_sid, '')], p_excluded, p_level,
                              false) r
  ORDER BY lower(r.server), lower(r.share)
$$;

DROP FUNCTION IF EXISTS ListActualAccessRightsToFoldersWithRelativeACEsForUser(text, text, text, text);
CREATE FUNCTION ListActualAccessRightsToFoldersWithRelativeACEsForUser(
  p_domain text, p_sid text, p_excluded text, p_level text)
RETURNS TABLE (server text, share text, foldername text, "ListDirectory" boolean,
               "AddFile" boolean, "AddSubdirectory" boolean, "Traverse" boolean,
               "DeleteChild" boolean, "Delete" boolean, "FullControl" boolean)
LANGUAGE sql STABLE AS $$
  SELECT r.server, r.share, r.foldername, r.rights & 1 <> 0, r.rights & 2 <> 0,
         r.rights & 4 <> 0, r.rights & 8 <> 0, r.rights & 16 <> 0, r.rights & 32 <> 0,
         r.rights & 64 <> 0
  FROM velmora_account_access('ListActualAccessRightsToFoldersWithRelativeACEsForUser',
                              p_domain, ARRAY[coalesce(p_sid, '')], p_excluded, p_level,
                              true) r
$$;

DROP FUNCTION IF EXISTS ListActualAccessRightsToSharesWithRelativeACEsForAllUsersGroups(text, text, text, text);
CREATE FUNCTION ListActualAccessRightsToSharesWithRelativeACEsForAllUsersGroups(
  p_domain text, p_all_groups text, p_excluded text, p_level text)
RETURNS TABLE (server text, share text, usergroupname text, "Full Control" boolean,
               "Change" boolean, "Read" boolean)
LANGUAGE sql STABLE AS $$
  SELECT r.server, r.share, u.UserGroupName::text, r.rights & 1 <> 0, r.rights & 2 <> 0,
         r.rights & 4 <> 0
  FROM velmora_account_access('ListActualAccessRightsToSharesWithRelativeACEsForAllUsersGroups',
                              p_domain,
                              velmora_domain_accounts(p_domain,
                                                      velmora_all_groups_flag(p_all_groups)),
                              p_excluded, p_level, false) r
  JOIN UserGroupList u ON u.SID::text COLLATE "C" = r.account COLLATE "C"
$$;

DROP FUNCTION IF EXISTS ListActualAccessRightsToFoldersWithRelativeACEsForForAllUsersGroups(text, text, text, text);
CREATE FUNCTION ListActualAccessRightsToFoldersWithRelativeACEsForForAllUsersGroups(
  p_domain text, p_all_groups text, p_excluded text, p_level text)
RETURNS TABLE (usergroupname text, server text, share text, foldername text,
               "ListDirectory" boolean, "AddFile" boolean, "AddSubdirectory" boolean,
               "Traverse" boolean, "DeleteChild" boolean, "Delete" boolean,
               "FullControl" boolean)
LANGUAGE sql STABLE AS $$
  SELECT u.UserGroupName::text, r.server, r.share, r.foldername, r.rights & 1 <> 0,
         r.rights & 2 <> 0, r.rights & 4 <> 0, r.rights & 8 <> 0, r.rights & 16 <> 0,
         r.rights & 32 <> 0, r.rights & 64 <> 0
  FROM velmora_account_access('ListActualAccessRightsToFoldersWithRelativeACEsForForAllUsersGroups',
                              p_domain,
                              velmora_domain_accounts(p_domain,
                                                      velmora_all_groups_flag(p_all_groups)),
                              p_excluded, p_level, true) r
  JOIN UserGroupList u ON u.SID::text COLLATE "C" = r.account COLLATE "C"
$$;

DROP FUNCTION IF EXISTS ListActualAccessRightsForUsersToServerShare(text, text, text, text);
CREATE FUNCTION ListActualAccessRightsForUsersToServerShare(
  p_domain text, p_server text, p_share text, p_level text)
RETURNS TABLE (server text, share text, username text, "Full Control" boolean,
               "Change" boolean, "Read" boolean)
LANGUAGE sql STABLE AS $$
  SELECT r.server, r.share, r.account, r.rights & 1 <> 0, r.rights & 2 <> 0,
         r.rights & 4 <> 0
  FROM velmora_resource_access('ListActualAccessRightsForUsersToServerShare', p_domain,
                               p_server, p_share, p_level, false) r
$$;

DROP FUNCTION IF EXISTS ListActualAccessRightsForUsersToServerShareFolders(text, text, text, text);
CREATE FUNCTION ListActualAccessRightsForUsersToServerShareFolders(
  p_domain text, p_server text, p_share text, p_level text)
RETURNS TABLE (server text, share text, foldername text, username text,
               "ListDirectory" boolean, "AddFile" boolean, "AddSubdirectory" boolean,
               "Traverse" boolean, "DeleteChild" boolean, "Delete" boolean,
               "FullControl" boolean)
LANGUAGE sql STABLE AS $$
  SELECT r.server, r.share, r.foldername, r.account, r.rights & 1 <> 0, r.rights & 2 <> 0,
         r.rights & 4 <> 0, r.rights & 8 <> 0, r.rights & 16 <> 0, r.rights & 32 <> 0,
         r.rights & 64 <> 0
  FROM velmora_resource_access('ListActualAccessRightsForUsersToServerShareFolders',
                               p_domain, p_server, p_share, p_level, true) r
$$;
