"""What the release tests check a package with.

check(tables, summary): the package's tables against Windows Installer's
internal consistency evaluators (ICEs), as Microsoft's "ICE Reference"
describes them, for the tables this package has; nothing on the build machine
runs Microsoft's validator, so each rule reads the tables itself, and the
columns each table must have come from REFERENCE_COLUMNS, written from the
reference's table pages. It returns [(rule, "error" | "warning", text)]; RULES
names the rules checked.

parse_sddl(text): a DACL in the Security Descriptor Definition Language, as
the MsiLockPermissionsEx table holds it.

with_version(), rebuilt(): the agent's executable as another version or
another build of it would be, for the upgrade tests."""
import re
import struct

GUID = re.compile(r"^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$")
IDENTIFIER = re.compile(r"^[A-Za-z_][A-Za-z0-9_.]*$")
FILE_VERSION = re.compile(r"^\d+(\.\d+){0,3}$")
FORMATTED_FILE = re.compile(r"\[([#!$])([^\]]+)\]")
CONDITION_WORD = re.compile(r"\b[A-Za-z_][A-Za-z0-9_.]*\b")
CONDITION_KEYWORDS = {"NOT", "AND", "OR", "XOR", "EQV", "IMP"}

# The columns of every table a package of ours may hold, in order, as Microsoft's
# "Database Tables" reference gives them: one page a table,
# https://learn.microsoft.com/windows/win32/msi/<table>-table (ActionText ->
# actiontext-table). "k" marks a key column, "n" a nullable one: the page's
# Key and Nullable columns. Written from the reference pages, never from a
# package: the packages are what this checks. A column a package has and the
# reference does not is ICE03's "missing from _Validation"; a
# column the reference has and the package lacks is ICE06's "not defined in
# database"; Windows Installer looks columns up by name, so either is a table
# it does not read as the package meant.
# Every table the wixl of Debian 12 or 13 writes is here, rows or none (newer
# wixl also writes empty DuplicateFile and MoveFile tables).
# The MsiFileHash page's table spells its last column "Hashpart4"; its column
# list, the SDK's schema and every writer spell it HashPart4.
REFERENCE_COLUMNS = {
    "ActionText": "Action:k Description:n Template:n",
    "AdminExecuteSequence": "Action:k Condition:n Sequence:n",
    "AdminUISequence": "Action:k Condition:n Sequence:n",
    "AdvtExecuteSequence": "Action:k Condition:n Sequence:n",
    "AppSearch": "Property:k Signature_:k",
    "Binary": "Name:k Data",
    "Component": "Component:k ComponentId:n Directory_ Attributes Condition:n KeyPath:n",
    "Condition": "Feature_:k Level:k Condition:n",
    "CreateFolder": "Directory_:k Component_:k",
    "CustomAction": "Action:k Type Source:n Target:n ExtendedType:n",
    "Directory": "Directory:k Directory_Parent:n DefaultDir",
    "DuplicateFile": "FileKey:k Component_ File_ DestName:n DestFolder:n",
    "Environment": "Environment:k Name Value:n Component_",
    "Error": "Error:k Message:n",
    "Feature": "Feature:k Feature_Parent:n Title:n Description:n Display:n Level Directory_:n Attributes",
    "FeatureComponents": "Feature_:k Component_:k",
    "File": "File:k Component_ FileName FileSize Version:n Language:n Attributes:n Sequence",
    "Icon": "Name:k Data",
    "IniFile": "IniFile:k FileName DirProperty:n Section Key Value Action Component_",
    "InstallExecuteSequence": "Action:k Condition:n Sequence:n",
    "InstallUISequence": "Action:k Condition:n Sequence:n",
    "LaunchCondition": "Condition:k Description",
    "Media": "DiskId:k LastSequence DiskPrompt:n Cabinet:n VolumeLabel:n Source:n",
    "MoveFile": "FileKey:k Component_ SourceName:n DestName:n SourceFolder:n DestFolder Options",
    "MsiFileHash": "File_:k Options HashPart1 HashPart2 HashPart3 HashPart4",
    "MsiLockPermissionsEx": "MsiLockPermissionsEx:k LockObject Table SDDLText Condition:n",
    "Property": "Property:k Value",
    "RegLocator": "Signature_:k Root Key Name:n Type:n",
    "Registry": "Registry:k Root Key Name:n Value:n Component_",
    "RemoveFile": "FileKey:k Component_ FileName:n DirProperty InstallMode",
    "RemoveIniFile": "RemoveIniFile:k FileName DirProperty:n Section Key Value:n Action Component_",
    "ServiceControl": "ServiceControl:k Name Event Arguments:n Wait:n Component_",
    "ServiceInstall": "ServiceInstall:k Name DisplayName:n ServiceType StartType ErrorControl LoadOrderGroup:n "
                      "Dependencies:n StartName:n Password:n Arguments:n Component_ Description:n",
    "Shortcut": "Shortcut:k Directory_ Name Component_ Target Arguments:n Description:n Hotkey:n Icon_:n IconIndex:n "
                "ShowCmd:n WkDir:n DisplayResourceDLL:n DisplayResourceId:n DescriptionResourceDLL:n "
                "DescriptionResourceId:n",
    "Signature": "Signature:k FileName MinVersion:n MaxVersion:n MinSize:n MaxSize:n MinDate:n MaxDate:n Languages:n",
    "Upgrade": "UpgradeCode:k VersionMin:kn VersionMax:kn Language:kn Attributes:k Remove:n ActionProperty",
}
# The tables Windows Installer keeps about the database itself, not in "Database Tables".
SYSTEM_TABLES = {"_Columns", "_Tables", "_Streams", "_Storages", "_Validation", "_StringPool", "_StringData",
                 "_ForceCodepage", "_SummaryInformation"}
SCHEMA = {table: [c.split(":")[0] for c in cols.split()] for table, cols in REFERENCE_COLUMNS.items()}
NOT_NULL = {table: [i for i, c in enumerate(cols.split()) if "n" not in c.partition(":")[2]]
            for table, cols in REFERENCE_COLUMNS.items()}
# (table, column index) -> (table, key column index): the foreign keys ICE03 follows.
FOREIGN = {
    ("Component", 2): ("Directory", 0), ("Condition", 0): ("Feature", 0), ("CreateFolder", 0): ("Directory", 0),
    ("CreateFolder", 1): ("Component", 0), ("Directory", 1): ("Directory", 0), ("Feature", 1): ("Feature", 0),
    ("FeatureComponents", 0): ("Feature", 0), ("FeatureComponents", 1): ("Component", 0),
    ("File", 1): ("Component", 0), ("MsiFileHash", 0): ("File", 0), ("Registry", 5): ("Component", 0),
}
# Actions in the order the "Sequence Restrictions" of each action require.
ORDER = ["FindRelatedProducts", "AppSearch", "LaunchConditions", "CostInitialize", "FileCost", "CostFinalize",
         "MigrateFeatureStates", "InstallValidate", "InstallInitialize", "ProcessComponents", "UnpublishFeatures",
         "RemoveRegistryValues", "RemoveFiles", "RemoveFolders", "CreateFolders", "InstallFiles",
         "WriteRegistryValues", "RegisterProduct", "PublishFeatures", "PublishProduct", "InstallFinalize"]
SCRIPT_ACTIONS = {"ProcessComponents", "UnpublishFeatures", "RemoveRegistryValues", "RemoveFiles", "RemoveFolders",
                  "CreateFolders", "InstallFiles", "WriteRegistryValues", "RegisterUser", "RegisterProduct",
                  "PublishFeatures", "PublishProduct"}
# ICE87: properties set on the command line only.
COMMAND_LINE_ONLY = {"ACTION", "ADDDEFAULT", "ADDLOCAL", "ADDSOURCE", "ADVERTISE", "COMPADDDEFAULT",
                     "COMPADDLOCAL", "COMPADDSOURCE", "FILEADDDEFAULT", "FILEADDLOCAL", "FILEADDSOURCE",
                     "PATCH", "REINSTALL", "REMOVE", "PRIMARYFOLDER", "TRANSFORMS"}
# ICE99: Windows Installer's own properties a Directory must not be named after.
INSTALLER_PROPERTIES = {"AdminUser", "ComputerName", "Date", "LogonUser", "MsiNTProductType", "Privileged",
                        "RemoteAdminTS", "Time", "UserLanguageID", "UserSID", "VersionNT", "VersionNT64",
                        "WindowsBuild", "Installed", "ProductState"}
STANDARD_DIRECTORIES = {"TARGETDIR", "ProgramFilesFolder", "ProgramFiles64Folder", "CommonAppDataFolder",
                        "SystemFolder", "System64Folder", "WindowsFolder"}
PROFILE_DIRECTORIES = {"AppDataFolder", "LocalAppDataFolder", "PersonalFolder", "DesktopFolder",
                       "StartMenuFolder", "ProgramMenuFolder", "StartupFolder", "FavoritesFolder",
                       "SendToFolder", "TemplateFolder", "MyPicturesFolder", "NetHoodFolder", "PrintHoodFolder",
                       "RecentFolder"}
COMPONENT_64BIT, COMPONENT_REGISTRY_KEY_PATH = 0x100, 0x4
COMPONENT_KNOWN_BITS = 0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x20 | 0x40 | 0x80 | 0x100 | 0x200 | 0x400 | 0x800 | 0x1000 | 0x2000 | 0x4000
FEATURE_KNOWN_BITS = 0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x20
FILE_KNOWN_BITS = 0x1 | 0x2 | 0x4 | 0x200 | 0x400 | 0x1000 | 0x2000 | 0x4000 | 0x8000 | 0x40000
UPGRADE_ONLY_DETECT, UPGRADE_MIN_INCLUSIVE, UPGRADE_MAX_INCLUSIVE = 0x2, 0x100, 0x200
PID_TEMPLATE, PID_PAGECOUNT = 7, 14

RULES = ["ICE03", "ICE06", "ICE08", "ICE12", "ICE18", "ICE21", "ICE24", "ICE27", "ICE30", "ICE33", "ICE38",
         "ICE40", "ICE45", "ICE46", "ICE52", "ICE57", "ICE60", "ICE61", "ICE63", "ICE64", "ICE68", "ICE69", "ICE71",
         "ICE74", "ICE78", "ICE80", "ICE82", "ICE86", "ICE87", "ICE99", "MsiFileHash"]


def version_tuple(text, fields=4):
    parts = [int(p) for p in text.split(".")]
    return tuple((parts + [0] * fields)[:fields])


def check(tables, summary):
    """Every finding of the rules above on one package."""
    found = []

    def report(rule, level, text):
        found.append((rule, level, text))

    def rows(name):
        return tables.get(name, [])

    properties = dict((r[0], r[1]) for r in rows("Property"))
    components = {r[0]: r for r in rows("Component")}
    files = {r[0]: r for r in rows("File")}
    feature_of = {}
    for feature, component in rows("FeatureComponents"):
        feature_of.setdefault(component, set()).add(feature)
    sequence = {r[0]: r for r in rows("InstallExecuteSequence")}
    template = str(summary.get(PID_TEMPLATE, ""))
    is64 = template.split(";")[0] in ("x64", "Intel64", "Arm64")

    # ICE03: nulls where the column allows none, identifiers, GUIDs, and foreign keys.
    for table, columns in NOT_NULL.items():
        for row in rows(table):
            for c in columns:
                if c < len(row) and row[c] is None:
                    report("ICE03", "error", "%s.%s is null in %r" % (table, SCHEMA[table][c], row))
    for table in ("Component", "Directory", "Feature", "File", "Registry", "CustomAction", "MsiLockPermissionsEx"):
        for row in rows(table):
            if not IDENTIFIER.match(row[0] or ""):
                report("ICE03", "error", "%s key %r is not an identifier" % (table, row[0]))
    for row in rows("Component"):
        if row[1] is not None and not GUID.match(row[1]):
            report("ICE03", "error", "Component %s: %r is not an upper-case GUID" % (row[0], row[1]))
    for row in rows("Upgrade"):
        if not GUID.match(row[0] or ""):
            report("ICE03", "error", "Upgrade code %r is not an upper-case GUID" % row[0])
    for (table, column), (target, key) in FOREIGN.items():
        keys = {r[key] for r in rows(target)}
        for row in rows(table):
            if row[column] is not None and row[column] not in keys:
                report("ICE03", "error", "%s.%s %r names no %s" % (table, SCHEMA[table][column], row[column], target))
    for row in rows("MsiLockPermissionsEx"):
        keys = {r[0] for r in rows(row[2])} if row[2] in ("CreateFolder", "File", "Registry") else set()
        if row[2] not in ("CreateFolder", "File", "Registry", "ServiceInstall") or row[1] not in keys:
            report("ICE03", "error", "MsiLockPermissionsEx %s locks %s.%s, which is not there" % (row[0], row[2], row[1]))
    registry = {r[0]: r for r in rows("Registry")}
    for name, row in components.items():
        if row[5] is None:
            continue
        table = registry if row[3] & COMPONENT_REGISTRY_KEY_PATH else files
        if row[5] not in table or table[row[5]][{id(registry): 5, id(files): 1}[id(table)]] != name:
            report("ICE03", "error", "component %s: key path %r is no %s row of its own" % (
                name, row[5], "Registry" if table is registry else "File"))
    locators = {r[0] for t in ("RegLocator", "Signature", "DrLocator", "CompLocator", "IniLocator") for r in rows(t)}
    for prop, signature in rows("AppSearch"):
        if signature not in locators:
            report("ICE03", "error", "AppSearch %s searches for %s, which no locator table holds" % (prop, signature))
    icon = properties.get("ARPPRODUCTICON")
    if icon is not None and icon not in {r[0] for r in rows("Icon")}:
        report("ICE03", "error", "ARPPRODUCTICON %r names no Icon row" % icon)

    # ICE06 and ICE03: the columns of every table against the reference's.
    have = {}
    for table, _, name, _ in tables.get("_Columns", []):
        have.setdefault(table, []).append(name)
    for table, columns in sorted(have.items()):
        if table in SYSTEM_TABLES:
            continue
        reference = SCHEMA.get(table, [])
        for column in reference:
            if column not in columns:
                report("ICE06", "error", "Column: %s of Table: %s is not defined in database." % (column, table))
        for column in columns:
            if column not in reference:
                report("ICE03", "error", "Table: %s Column: %s Missing from the _Validation Table%s" % (
                    table, column, "" if reference else " (a table the reference does not list)"))
        if set(columns) == set(reference) and columns != reference:
            report("ICE06", "error", "%s has its columns in the order %s, the reference %s" % (table, columns, reference))

    # ICE08: one GUID per component.
    guids = [r[1] for r in rows("Component") if r[1]]
    for guid in sorted({g for g in guids if guids.count(g) > 1}):
        report("ICE08", "error", "component GUID %s is used twice" % guid)

    # ICE12: property-setting custom actions (types 35 and 51) and their sequence.
    for action, kind, source, _, _ in rows("CustomAction"):
        if kind & 0x3F == 35 and action in sequence and sequence[action][2] < sequence.get("CostFinalize", (0, 0, 0))[2]:
            report("ICE12", "error", "directory-setting action %s runs before CostFinalize" % action)

    # ICE18: a component without a key path keeps its folder by a CreateFolder row.
    created = {(d, c) for d, c in rows("CreateFolder")}
    for name, row in components.items():
        if row[5] is None and (row[2], name) not in created:
            report("ICE18", "error", "component %s has no key path and no CreateFolder row for %s" % (name, row[2]))

    # ICE21: every component belongs to a feature.
    for name in components:
        if name not in feature_of:
            report("ICE21", "error", "component %s belongs to no feature" % name)

    # ICE24: the product's identity.
    if not GUID.match(properties.get("ProductCode", "")):
        report("ICE24", "error", "ProductCode %r is not an upper-case GUID" % properties.get("ProductCode"))
    version = properties.get("ProductVersion", "")
    if not re.match(r"^\d+\.\d+\.\d+(\.\d+)?$", version) or not (
            version_tuple(version)[0] < 256 and version_tuple(version)[1] < 256 and version_tuple(version)[2] < 65536):
        report("ICE24", "error", "ProductVersion %r" % version)
    if not (properties.get("ProductLanguage") or "").isdigit():
        report("ICE24", "error", "ProductLanguage %r" % properties.get("ProductLanguage"))

    # ICE27: the order of the standard actions.
    present = [a for a in ORDER if a in sequence]
    for earlier, later in zip(present, present[1:]):
        if sequence[earlier][2] >= sequence[later][2]:
            report("ICE27", "error", "%s (%d) must come before %s (%d)" % (
                earlier, sequence[earlier][2], later, sequence[later][2]))
    if "InstallInitialize" in sequence and "InstallFinalize" in sequence:
        for action in SCRIPT_ACTIONS & set(sequence):
            if not sequence["InstallInitialize"][2] < sequence[action][2] < sequence["InstallFinalize"][2]:
                report("ICE27", "error", "%s is outside InstallInitialize..InstallFinalize" % action)

    # ICE30: one file name per folder.
    targets = {}
    for row in rows("File"):
        target = (components[row[1]][2] if row[1] in components else None, row[2].split("|")[-1].lower())
        if target in targets:
            report("ICE30", "error", "%s and %s install to one path" % (targets[target], row[0]))
        targets[target] = row[0]

    # ICE33: registration that belongs in the Class, ProgId, TypeLib or AppId tables.
    for row in rows("Registry"):
        key = row[2].lower()
        if row[1] in (0, -1) and re.match(r"^(clsid|typelib|appid|interface)\\", key) or \
                key.startswith("software\\classes\\"):
            report("ICE33", "warning", "Registry %s writes class registration %s" % (row[0], row[2]))

    # ICE38 and ICE57: per-user data in a per-machine package.
    for row in rows("Registry"):
        if row[1] == 1 or (row[1] == -1 and properties.get("ALLUSERS") != "1"):
            report("ICE57" if properties.get("ALLUSERS") == "1" else "ICE38", "error",
                   "Registry %s writes under HKEY_CURRENT_USER" % row[0])
    for name, row in components.items():
        if row[2] in PROFILE_DIRECTORIES:
            report("ICE38", "error", "component %s installs into the user profile" % name)

    # ICE40: REINSTALLMODE in the Property table.
    if "REINSTALLMODE" in properties:
        report("ICE40", "warning", "REINSTALLMODE is authored")

    # ICE45: reserved attribute bits.
    for name, row in components.items():
        if row[3] & ~COMPONENT_KNOWN_BITS:
            report("ICE45", "warning", "component %s sets reserved bits %#x" % (name, row[3]))
    for row in rows("Feature"):
        if row[7] & ~FEATURE_KNOWN_BITS:
            report("ICE45", "warning", "feature %s sets reserved bits %#x" % (row[0], row[7]))
    for row in rows("File"):
        if (row[6] or 0) & ~FILE_KNOWN_BITS:
            report("ICE45", "warning", "file %s sets reserved bits %#x" % (row[0], row[6]))

    # ICE46: a property used in a condition with another case than it is defined with.
    defined = set(properties) | {r[6] for r in rows("Upgrade")} | {r[0] for r in rows("AppSearch")}
    by_lower = {}
    for name in defined:
        by_lower.setdefault(name.lower(), set()).add(name)
    conditions = [r[1] for r in rows("InstallExecuteSequence") + rows("InstallUISequence") if r[1]]
    conditions += [r[0] for r in rows("LaunchCondition")] + [r[2] for r in rows("Condition") if r[2]]
    for text in conditions:
        for word in CONDITION_WORD.findall(re.sub(r'"[^"]*"', "", text)):
            if word.upper() in CONDITION_KEYWORDS:
                continue
            if word not in defined and word.lower() in by_lower:
                report("ICE46", "warning", "%r in condition %r is defined as %s" % (
                    word, text, sorted(by_lower[word.lower()])))

    # ICE52: AppSearch sets public properties only (no lower-case letter).
    for prop, _ in rows("AppSearch"):
        if prop != prop.upper():
            report("ICE52", "error", "AppSearch property %s is not public" % prop)

    # ICE60 and the MsiFileHash table: a versioned file has its language and no hash.
    hashed = {r[0] for r in rows("MsiFileHash")}
    for name, row in files.items():
        if row[4] and FILE_VERSION.match(row[4]):
            if not row[5]:
                report("ICE60", "warning", "file %s has version %s and no language" % (name, row[4]))
            if name in hashed:
                report("MsiFileHash", "error", "versioned file %s has a hash row (for unversioned files only)" % name)

    # ICE61: the Upgrade table.
    secure = set((properties.get("SecureCustomProperties") or "").split(";"))
    actions = [r[6] for r in rows("Upgrade")]
    product = version_tuple(version, 3) if version else None
    for code, vmin, vmax, language, attributes, _, action in rows("Upgrade"):
        if action in properties:
            report("ICE61", "error", "Upgrade property %s is authored in the Property table" % action)
        if action != action.upper():
            report("ICE61", "error", "Upgrade property %s must not contain lowercase letters" % action)
        if action not in secure:
            report("ICE61", "error", "Upgrade property %s must be in SecureCustomProperties" % action)
        if actions.count(action) > 1:
            report("ICE61", "error", "Upgrade property %s is used in more than one row" % action)
        for bound in (vmin, vmax):
            if bound is not None and not re.match(r"^\d+\.\d+\.\d+(\.\d+)?$", bound):
                report("ICE61", "error", "Upgrade version %r is not a product version" % bound)
        if vmin and vmax and version_tuple(vmax, 3) < version_tuple(vmin, 3):
            report("ICE61", "error", "Upgrade VersionMax %s is below VersionMin %s (%s)" % (vmax, vmin, action))
        if code == properties.get("UpgradeCode") and not attributes & UPGRADE_ONLY_DETECT and product:
            top = version_tuple(vmax, 3) if vmax else None
            if top is None or top > product or (top == product and attributes & UPGRADE_MAX_INCLUSIVE):
                report("ICE61", "warning", "This product should remove only older versions of itself. The Maximum "
                       "version is not less than the current product. (%s %s)" % (vmax, version))

    # ICE63: where RemoveExistingProducts may run.
    if "RemoveExistingProducts" in sequence:
        at = sequence["RemoveExistingProducts"][2]
        between = sorted(r[2] for r in sequence.values())
        initialize = sequence.get("InstallInitialize", (0, 0, 0))[2]
        validate = sequence.get("InstallValidate", (0, 0, 0))[2]
        execute = max([sequence[a][2] for a in ("InstallExecute", "InstallExecuteAgain") if a in sequence] or [None],
                      key=lambda v: -1 if v is None else v)
        finalize = sequence.get("InstallFinalize", (0, 0, 0))[2]
        next_after_initialize = min((s for s in between if s > initialize), default=None)
        allowed = (validate < at < initialize or at == next_after_initialize or
                   (execute is not None and execute < at < finalize) or at > finalize)
        if not allowed:
            report("ICE63", "error", "RemoveExistingProducts at %d is not in an allowed place" % at)

    # ICE64: folders in the user profile need RemoveFile rows.
    for row in rows("Directory"):
        if row[1] in PROFILE_DIRECTORIES:
            report("ICE64", "error", "folder %s is in the user profile" % row[0])

    # ICE68: custom action types.
    for action, kind, _, _, _ in rows("CustomAction"):
        base = kind & 0x3F
        if base not in (1, 2, 5, 6, 7, 17, 18, 19, 21, 22, 23, 34, 35, 37, 38, 39, 50, 51, 53, 54):
            report("ICE68", "error", "custom action %s has type %d" % (action, kind))
        if base in (19, 35, 51) and kind & 0x0C00:  # deferred or no-impersonate flags on an immediate-only type
            report("ICE68", "warning", "custom action %s: type %d flags a property or error action %#x" % (
                action, kind, kind & 0xC00))

    # ICE69: [#file], [!file] and [$component] only within the component's own features.
    for row in rows("Registry"):
        for kind, name in FORMATTED_FILE.findall(row[4] or ""):
            owner = files[name][1] if kind in "#!" and name in files else name
            if not feature_of.get(row[5], set()) <= feature_of.get(owner, set()):
                report("ICE69", "error", "Registry %s refers to [%s%s], which belongs to another feature" % (
                    row[0], kind, name))

    # ICE71: the first Media row is disk 1.
    disks = sorted(r[0] for r in rows("Media"))
    if disks and disks[0] != 1:
        report("ICE71", "error", "the first disk is %d" % disks[0])

    # ICE74: FASTOEM is not authored; there is an UpgradeCode.
    if "FASTOEM" in properties:
        report("ICE74", "error", "FASTOEM is authored")
    if "UpgradeCode" not in properties:
        report("ICE74", "warning", "no UpgradeCode")

    # ICE78: nothing in AdvtUISequence.
    if rows("AdvtUISequence"):
        report("ICE78", "error", "AdvtUISequence has rows")

    # ICE80: 64-bit components only in a 64-bit package, which needs schema 200.
    for name, row in components.items():
        if row[3] & COMPONENT_64BIT and not is64:
            report("ICE80", "error", "64-bit component %s in a %s package" % (name, template))
    if is64 and int(summary.get(PID_PAGECOUNT, 0)) < 200:
        report("ICE80", "error", "a 64-bit package needs schema 200, not %s" % summary.get(PID_PAGECOUNT))
    for row in rows("Directory"):
        if row[0] == "ProgramFiles64Folder" and not is64:
            report("ICE80", "error", "ProgramFiles64Folder in a 32-bit package")

    # ICE82: one sequence number per action.
    for table in ("InstallExecuteSequence", "InstallUISequence"):
        numbers = [r[2] for r in rows(table) if r[2] and r[2] > 0]
        for number in sorted({n for n in numbers if numbers.count(n) > 1}):
            report("ICE82", "warning", "%s: sequence %d is used twice" % (table, number))

    # ICE86: Privileged, not AdminUser.
    for text in conditions:
        if "AdminUser" in CONDITION_WORD.findall(text):
            report("ICE86", "warning", "condition %r uses AdminUser" % text)

    # ICE87: properties given on the command line only.
    for name in properties:
        if name in COMMAND_LINE_ONLY:
            report("ICE87", "warning", "%s is authored in the Property table" % name)

    # ICE99: no folder named after an installer property.
    for row in rows("Directory"):
        if row[0] in INSTALLER_PROPERTIES:
            report("ICE99", "error", "folder %s has the name of an installer property" % row[0])
    return found


# ----- the data folders' permissions --------------------------------------------------------------
# "Security Descriptor String Format" and "ACE Strings": the rights and SIDs a
# package's SDDL may use here.
RIGHTS = {"FA": 0x1F01FF, "FR": 0x120089, "FW": 0x120116, "FX": 0x1200A0, "GA": 0x10000000, "GR": 0x80000000,
          "GW": 0x40000000, "GX": 0x20000000, "SD": 0x10000, "RC": 0x20000, "WD": 0x40000, "WO": 0x80000}
ACE_FLAGS = {"OI", "CI", "NP", "IO", "ID", "SA", "FA"}
FILE_WRITE_DATA, FILE_ADD_FILE, FILE_APPEND_DATA, FILE_ADD_SUBDIRECTORY = 0x2, 0x2, 0x4, 0x4
FILE_WRITE_EA, FILE_DELETE_CHILD, FILE_WRITE_ATTRIBUTES = 0x10, 0x40, 0x100
DELETE, WRITE_DAC, WRITE_OWNER = 0x10000, 0x40000, 0x80000
CHANGE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | \
    DELETE | WRITE_DAC | WRITE_OWNER | RIGHTS["GA"] | RIGHTS["GW"]


def parse_sddl(text):
    """(DACL flags, [(type, {flags}, access mask, SID)]) of a DACL-only SDDL string; ValueError if malformed."""
    match = re.match(r"^D:([PAIR]*)((\([^()]*\))+)$", text)
    if not match:
        raise ValueError("not a DACL: %r" % text)
    aces = []
    for body in re.findall(r"\(([^()]*)\)", match.group(2)):
        parts = body.split(";")
        if len(parts) != 6 or parts[0] not in ("A", "D") or parts[3] or parts[4]:
            raise ValueError("ACE %r" % body)
        flags = {parts[1][i:i + 2] for i in range(0, len(parts[1]), 2)}
        if not flags <= ACE_FLAGS:
            raise ValueError("ACE flags %r" % parts[1])
        if parts[2].lower().startswith("0x"):
            mask = int(parts[2], 16)
        else:
            codes = [parts[2][i:i + 2] for i in range(0, len(parts[2]), 2)]
            if not codes or any(c not in RIGHTS for c in codes):
                raise ValueError("rights %r" % parts[2])
            mask = 0
            for code in codes:
                mask |= RIGHTS[code]
        if not re.match(r"^([A-Z]{2}|S-1-\d+(-\d+)+)$", parts[5]):
            raise ValueError("SID %r" % parts[5])
        aces.append((parts[0], flags, mask, parts[5]))
    return match.group(1), aces


# ----- an executable of another version, for tests --------------------------------------------------
def with_version(data, old, new):
    """The executable with `new` for `old` in its fixed version and its version strings (same length)."""
    if len(old) != len(new):
        raise ValueError("versions of different lengths")
    data = bytearray(data)
    fixed = data.find(struct.pack("<I", 0xFEEF04BD))
    numbers = [int(p) for p in new.split(".")]
    ms, ls = (numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3]
    struct.pack_into("<IIII", data, fixed + 8, ms, ls, ms, ls)
    return bytes(data).replace(old.encode("utf-16-le") + b"\0\0", new.encode("utf-16-le") + b"\0\0")


def rebuilt(data):
    """The same executable as another build of it would be: other bytes, the same version (the
    PE checksum field, which nothing on the way checks)."""
    data = bytearray(data)
    header = struct.unpack_from("<I", data, 0x3C)[0]
    struct.pack_into("<I", data, header + 24 + 64, struct.unpack_from("<I", data, header + 24 + 64)[0] ^ 0x5A5A)
    return bytes(data)
