-- The audit database on SQLite. Text widths are kept by the program's field definitions,
-- which cut a longer text when it is assigned; the declared types document them.
-- Dependent rows go with their parents through triggers rather than declared foreign
-- keys, so they are removed whatever the connection's foreign-key setting.
-- Names compare without regard to letter case, as the network treats them.

CREATE TABLE Servers (
  ProviderName varchar(80) COLLATE NOCASE NOT NULL,
  DomainName   varchar(80) COLLATE NOCASE NOT NULL,
  Server       varchar(80) COLLATE NOCASE NOT NULL,
  isDC         bit,
  isOnline     bit,
  CONSTRAINT PK_Servers PRIMARY KEY (ProviderName, DomainName, Server)
);
CREATE INDEX idxServersServer ON Servers (Server);
CREATE INDEX idxServersDomain ON Servers (DomainName, isDC);

CREATE TABLE ServerShares (
  GUID   uniqueidentifier NOT NULL CONSTRAINT PK_ServerShares PRIMARY KEY,
  Server varchar(80) COLLATE NOCASE NOT NULL,
  Share  varchar(80) COLLATE NOCASE NOT NULL,
  isIPC  bit
);
CREATE INDEX idxServerSharesServer ON ServerShares (Server, Share);

CREATE TABLE ShareAccessList (
  ServerShareGUID uniqueidentifier,
  UserGroupSID    varchar(47) COLLATE NOCASE,
  FullAccess      smallint,
  ChangeAccess    smallint,
  ReadAccess      smallint
);
CREATE INDEX PK_AccessList ON ShareAccessList (ServerShareGUID, UserGroupSID);
-- The access-rights functions read one account's entries by SID.
CREATE INDEX idxShareAccessListSID ON ShareAccessList (UserGroupSID);

CREATE TABLE sharefolders (
  GUID            uniqueidentifier NOT NULL CONSTRAINT PK_ShareFolders PRIMARY KEY,
  ServerShareGUID uniqueidentifier,
  FolderName      varchar(250) COLLATE NOCASE NOT NULL
);
CREATE INDEX idxShareFoldersShare ON sharefolders (ServerShareGUID);

CREATE TABLE folderaccesslist (
  FolderGUID      uniqueidentifier,
  UserGroupSID    varchar(47) COLLATE NOCASE NOT NULL,
  ListDirectory   tinyint,
  AddFile         tinyint,
  AddSubdirectory tinyint,
  Traverse        tinyint,
  DeleteChild     tinyint,
  _Delete         smallint,
  FullControl     tinyint
);
CREATE INDEX PK_FolderAccessList ON folderaccesslist (FolderGUID, UserGroupSID);
-- One account's folder entries by SID, read from the index alone (it carries every column
-- the access-rights functions use).
CREATE INDEX idxFolderAccessListSID ON folderaccesslist
  (UserGroupSID, FolderGUID, ListDirectory, AddFile, AddSubdirectory, Traverse, DeleteChild,
   _Delete, FullControl);

CREATE TABLE UserGroupList (
  SID              varchar(47) COLLATE NOCASE NOT NULL CONSTRAINT PK_UserGroupList PRIMARY KEY,
  UserGroupName    varchar(80) COLLATE NOCASE NOT NULL,
  DomainName       varchar(80) COLLATE NOCASE NOT NULL,
  isGroup          bit,
  hasAdminRights   bit,
  DomainController varchar(80) COLLATE NOCASE
);

-- Fixed-width SIDs: the program pads them with blanks to 47 characters.
CREATE TABLE User2Group (
  UserGroupSID char(47),
  GroupSID     char(47),
  CONSTRAINT PK_User2Group UNIQUE (UserGroupSID, GroupSID)
);
CREATE INDEX idxUser2GroupGroup ON User2Group (GroupSID);

CREATE TABLE MngdDomains (
  ID               integer PRIMARY KEY AUTOINCREMENT,
  DomainName       varchar(80) COLLATE NOCASE,
  LastUserModified datetime
);
CREATE INDEX idxDomainName ON MngdDomains (DomainName);

CREATE TABLE AlternateCredentials (
  ID               integer PRIMARY KEY AUTOINCREMENT,
  Description      varchar(144) COLLATE NOCASE NOT NULL,
  isActive         bit NOT NULL,
  UserName         varchar(80) COLLATE NOCASE NOT NULL,
  UserPassword     varchar(80) COLLATE NOCASE NOT NULL,
  LastUserModified datetime NOT NULL
);
CREATE INDEX idxDescription ON AlternateCredentials (Description);

CREATE TABLE MngdDomain2Credentials (
  MngdDomainID          int,
  AlternateCredentialID int,
  PriorityOrder         int,
  LastUserModified      datetime
);
CREATE INDEX PK_MngdDomain2Credentials ON MngdDomain2Credentials (MngdDomainID, AlternateCredentialID);

-- Shares belong to a server by name alone. A server of the same name may be listed under
-- another domain; its shares stay until the last Servers row of that name goes.
CREATE TRIGGER trgServersDelete AFTER DELETE ON Servers
WHEN NOT EXISTS (SELECT 1 FROM Servers WHERE Server = OLD.Server)
BEGIN
  DELETE FROM ServerShares WHERE Server = OLD.Server;
END;

CREATE TRIGGER trgServerSharesDelete AFTER DELETE ON ServerShares
BEGIN
  DELETE FROM ShareAccessList WHERE ServerShareGUID = OLD.GUID;
  DELETE FROM sharefolders WHERE ServerShareGUID = OLD.GUID;
END;

CREATE TRIGGER trgShareFoldersDelete AFTER DELETE ON sharefolders
BEGIN
  DELETE FROM folderaccesslist WHERE FolderGUID = OLD.GUID;
END;
