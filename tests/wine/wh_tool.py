#!/usr/bin/env python3
"""Helpers of the Wine harness that are awkward in bash.

  wh_tool.py merge SRC DST       copy the tree SRC over DST; names match case-insensitively, as Windows
                                 sees them, and an existing file is replaced (unlinked first), never
                                 written through
  wh_tool.py resources EXE OUT   write every resource of a PE file to OUT/<type>/<id>/<lang>
  wh_tool.py version FILE        print the fixed version numbers and the string table of a version resource
  wh_tool.py manifest FILE       print each requestedExecutionLevel ("level uiAccess") and the number of
                                 elements of the OS compatibility section (compatibility, supportedOS,
                                 maxversiontested) found anywhere in an application manifest
  wh_tool.py reg16 SRC DST        write a regedit file (UTF-16LE with BOM, or UTF-8) as UTF-16LE with BOM
                                 and CR LF line ends, the form every wine reg import reads
  wh_tool.py utf16 FILE          print a regedit export (UTF-16LE with BOM, or UTF-8) as UTF-8
  wh_tool.py find ROOT PATH      print the host path of ROOT/PATH (PATH with \ or /), each name matched
                                 without regard to letter case; status 1 when some part is missing
  wh_tool.py compare SCENARIO SIM_OUT WINE_DRIVE_C WINE_HKLM WINE_HKCU [SKIP...]
                                 compare what a Wine run left of a scenario with what the simulated
                                 run left (vpsim run --out SIM_OUT): every key, value and file of the
                                 scenario is present after both runs or after neither; each difference
                                 is printed, except those whose path contains a SKIP text (no letter case)
  wh_tool.py restored HKLM_BEFORE HKLM_AFTER HKCU_BEFORE HKCU_AFTER [KEY :: NAME | KEY\\*...]
                                 every key and value of the exports before is in those after with the
                                 same text, and no value was added, except the named values and the
                                 keys made below a KEY\\* (no letter case); each difference is printed

For the checks (imported): find_path_ci (a path below a folder, names without letter case), files_below
(the files of a tree), log_stage (a stage's lines of a tool log, made comparable between Windows and
Wine), log_stages (that stage of the expected log and of the run's), reg_value (one value of a regedit
export, decoded), and finish (a check's end: its problems printed, its exit status).
"""
import os
import re
import shutil
import struct
import sys


def find_ci(folder, name):
    """The entry of folder that equals name without regard to letter case (exact match first)."""
    if os.path.lexists(os.path.join(folder, name)):
        return name
    folded = name.lower()
    for entry in sorted(os.listdir(folder)):
        if entry.lower() == folded:
            return entry
    return name


def merge(src, dst):
    for entry in sorted(os.listdir(src)):
        s = os.path.join(src, entry)
        d = os.path.join(dst, find_ci(dst, entry))
        if os.path.isdir(s) and not os.path.islink(s):
            if os.path.lexists(d) and not os.path.isdir(d):
                os.unlink(d)
            if not os.path.isdir(d):
                os.mkdir(d)
                shutil.copystat(s, d)
            merge(s, d)
        else:
            if os.path.isdir(d) and not os.path.islink(d):
                shutil.rmtree(d)
            elif os.path.lexists(d):
                os.unlink(d)
            if os.path.islink(s):
                os.symlink(os.readlink(s), d)
            else:
                shutil.copy2(s, d)


class PE:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, opt_size = struct.unpack_from("<H12xH", data, pe + 6)
        opt = pe + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        dirs = opt + (112 if magic == 0x20B else 96)
        self.rsrc_rva, self.rsrc_size = struct.unpack_from("<II", data, dirs + 2 * 8)
        self.sections = []
        table = opt + opt_size
        for i in range(sections):
            vsize, rva, rsize, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((rva, max(vsize, rsize), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA 0x%x is in no section" % rva)

    def resources(self):
        """(type, name, language, bytes) for every resource; ids as numbers, names as text."""
        if not self.rsrc_rva:
            return []
        base = self.offset(self.rsrc_rva)
        out = []

        def name_of(entry_name):
            if entry_name & 0x80000000:
                at = base + (entry_name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return entry_name

        def walk(at, path):
            named, ids = struct.unpack_from("<12xHH", self.data, base + at)
            for i in range(named + ids):
                entry_name, target = struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)
                key = path + [name_of(entry_name)]
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, key)
                else:
                    rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(rva)
                    out.append((key[0], key[1], key[2], self.data[start:start + size]))

        walk(0, [])
        return out


def resources(exe, out):
    with open(exe, "rb") as f:
        pe = PE(f.read())
    for rtype, name, lang, blob in pe.resources():
        folder = os.path.join(out, str(rtype), str(name))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, str(lang)), "wb") as f:
            f.write(blob)


def version(path):
    """Print FIXED file=a.b.c.d product=a.b.c.d, then one 'Key=Value' line per string of the table."""
    with open(path, "rb") as f:
        data = f.read()

    def align(n):
        return (n + 3) & ~3

    def node(at):
        length, value_length, vtype = struct.unpack_from("<HHH", data, at)
        end = at + length
        p = at + 6
        key_end = p
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[p:key_end].decode("utf-16-le")
        p = align(key_end + 2)
        value_bytes = value_length * 2 if vtype == 1 else value_length
        value = data[p:p + value_bytes]
        p = align(p + value_bytes)
        children = []
        while p < end:
            child = node(p)
            children.append(child)
            p = align(p + struct.unpack_from("<H", data, p)[0])
        return key, vtype, value, children

    key, _, value, children = node(0)
    if key != "VS_VERSION_INFO":
        raise ValueError("root key is %r" % key)
    signature, _, fms, fls, pms, pls = struct.unpack_from("<IIIIII", value, 0)
    if signature != 0xFEEF04BD:
        raise ValueError("no VS_FIXEDFILEINFO")
    print("FIXED file=%d.%d.%d.%d product=%d.%d.%d.%d" % (
        fms >> 16, fms & 0xFFFF, fls >> 16, fls & 0xFFFF, pms >> 16, pms & 0xFFFF, pls >> 16, pls & 0xFFFF))
    for ckey, _, _, tables in children:
        if ckey != "StringFileInfo":
            continue
        for tkey, _, _, strings in tables:
            print("TABLE %s" % tkey)
            for skey, _, svalue, _ in strings:
                print("%s=%s" % (skey, svalue.decode("utf-16-le").rstrip("\0")))


def manifest(path):
    import xml.etree.ElementTree as ElementTree
    root = ElementTree.parse(path).getroot()
    compatibility = 0
    for element in root.iter():
        local = element.tag.rsplit("}", 1)[-1]
        if local == "requestedExecutionLevel":
            print("requestedExecutionLevel %s %s" % (element.get("level"), element.get("uiAccess")))
        if local.lower() in ("compatibility", "supportedos", "maxversiontested"):
            compatibility += 1
    print("compatibility %d" % compatibility)


def reg16(src, dst):
    with open(src, "rb") as f:
        data = f.read()
    if data[:2] == b"\xff\xfe":
        text = data[2:].decode("utf-16-le")
    else:
        text = data.decode("utf-8-sig")
    text = text.replace("\r\n", "\n").replace("\n", "\r\n")
    with open(dst, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))


def utf16(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"\xff\xfe":
        text = data[2:].decode("utf-16-le")
    else:
        text = data.decode("utf-8-sig")
    sys.stdout.write(text.replace("\r\n", "\n"))


def find_path_ci(root, relative):
    """The host path of root/relative, each name matched without regard to letter case (as Windows
    would), or None when some part is missing."""
    path = root
    for part in relative.replace("\\", "/").split("/"):
        if not part:
            continue
        if not os.path.isdir(path):
            return None
        folded = part.lower()
        hits = [entry for entry in sorted(os.listdir(path)) if entry.lower() == folded]
        if not hits:
            return None
        path = os.path.join(path, part if part in hits else hits[0])
    return path


def files_below(root):
    """The files of the tree root, as relative paths with "/", sorted."""
    out = []
    for folder, _, names in os.walk(root):
        for name in names:
            out.append(os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/"))
    return sorted(out)


# Lines that only a Wine run writes: after a successful call Wine's SHGetSpecialFolderPathW leaves the
# thread's last error as it was, so a value left by an earlier call (18 from the end of a folder
# listing) makes Get_Absolute_File_Path_From_Special_Folder write its exit trace, which also lifts the
# indentation one step and is followed by an empty line once the indentation is 0.
WINE_ONLY_TRACE = "vpRemovalTool.exe!Get_Absolute_File_Path_From_Special_Folder exits"


def log_stage(path, first, last):
    """The lines of a tool log from the line `first` to the next line `last` (both compared without
    their indentation), or None when either is missing. Made comparable between a Windows run and a
    Wine run: the Wine-only trace lines (with the empty line after one) are left out, the indentation
    is removed (those trace lines shift it), and the Windows folder at the start of a path is written
    C:\Windows\ (Windows names it so; Wine's special folders are C:\windows\...: the same folder, as
    letter case does not matter in Windows paths), and the random part of the registry backup's
    folder is written RANDOM (each run makes its own)."""
    with open(path, "rb") as f:
        lines = f.read().decode("latin-1").split("\r\n")
    stripped = [line.lstrip(" ") for line in lines]
    try:
        start = stripped.index(first)
        end = stripped.index(last, start + 1)
    except ValueError:
        return None
    out = []
    skip_empty = False
    for line in stripped[start:end + 1]:
        if line == WINE_ONLY_TRACE:
            skip_empty = True
            continue
        if skip_empty and line == "":
            skip_empty = False
            continue
        skip_empty = False
        line = re.sub(r"vpRemovalTool-backup-[0-9a-f]{16}", "vpRemovalTool-backup-RANDOM", line)
        out.append(re.sub(r"(?i)\bC:\\windows\\", lambda m: "C:\\Windows\\", line))
    return out


def log_stages(expected_log, got_log, first, last, what):
    """log_stage of the expected log and of the run's log; a run's log without the stage ends the
    check ("the log has no WHAT from FIRST to LAST", status 1)."""
    got = log_stage(got_log, first, last)
    if got is None:
        print("the log has no %s from %r to %r" % (what, first, last))
        sys.exit(1)
    return log_stage(expected_log, first, last), got


def report(problems, shown=None, title="the stage as logged (normalised):"):
    """Prints each problem and, when there are any, the title and the lines shown; 1 when there are
    problems, else 0."""
    for problem in problems:
        print(problem)
    if problems and shown is not None:
        print(title)
        for line in shown:
            print("  | " + line)
    return 1 if problems else 0


def finish(problems, shown=None, title="the stage as logged (normalised):"):
    """The end of a check: report, then exit with its status."""
    sys.exit(report(problems, shown, title))


def reg_value(export, key, name):
    """(type, data) of value `name` of `key` in a regedit export given as UTF-8 text (key and name
    without letter case), or None. Strings come back as text, hex(7) as a list of strings (the
    empty strings between and the final ones kept, the list's closing empty string dropped), other
    hex forms as bytes, dword as an int."""
    key = key.lower()
    inside = False
    entry = None
    with open(export, encoding="utf-8") as f:
        lines = f.read().split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line.startswith("["):
            inside = line.strip()[1:-1].lower() == key
            continue
        if not inside or not line.startswith('"'):
            continue
        match = re.match(r'"((?:[^"\\]|\\.)*)"=(.*)$', line)
        if not match or match.group(1).replace('\\\\', '\\').replace('\\"', '"').lower() != name.lower():
            continue
        data = match.group(2)
        while data.endswith("\\") and i < len(lines):
            data = data[:-1] + lines[i].strip()
            i += 1
        entry = data
        break
    if entry is None:
        return None
    if entry.startswith('"'):
        return ("sz", entry[1:-1].replace('\\\\', '\\').replace('\\"', '"'))
    if entry.startswith("dword:"):
        return ("dword", int(entry[6:], 16))
    match = re.match(r"hex(?:\(([0-9a-f]+)\))?:(.*)$", entry)
    if not match:
        return ("unknown", entry)
    raw = bytes(int(b, 16) for b in match.group(2).split(",") if b)
    if match.group(1) == "7":
        text = raw.decode("utf-16-le")
        parts = text.split("\0")
        if parts and parts[-1] == "":
            parts = parts[:-1]
        if parts and parts[-1] == "":
            parts = parts[:-1]
        return ("multi_sz", parts)
    return ("hex(%s)" % (match.group(1) or "3"), raw)


def reg_items(path):
    """The keys ("KEY") and values ("KEY :: name", "KEY :: @" for the default value) of a regedit file
    or export, lower-cased. The 32-bit view is read as its physical Wow6432Node paths."""
    with open(path, "rb") as f:
        data = f.read()
    text = data[2:].decode("utf-16-le") if data[:2] == b"\xff\xfe" else data.decode("utf-8-sig")
    items = set()
    key = None
    for line in text.replace("\r\n", "\n").split("\n"):
        if line.startswith("[") and line.rstrip().endswith("]"):
            key = line.strip()[1:-1].lower()
            items.add(key)
        elif key is not None and line.startswith("@="):
            items.add(key + " :: @")
        elif key is not None and line.startswith('"'):
            match = re.match(r'"((?:[^"\\]|\\.)*)"=', line)
            if match:
                name = match.group(1).replace('\\\\', '\\').replace('\\"', '"')
                items.add(key + " :: " + name.lower())
    return items


def reg_values(path):
    """{key: {name: value text}} of a regedit file or export, keys and names lower-cased, each value's
    text as written after "=" with its continuation lines joined."""
    with open(path, "rb") as f:
        data = f.read()
    text = data[2:].decode("utf-16-le") if data[:2] == b"\xff\xfe" else data.decode("utf-8-sig")
    keys = {}
    key = None
    lines = text.replace("\r\n", "\n").split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line.startswith("[") and line.rstrip().endswith("]"):
            key = line.strip()[1:-1].lower()
            keys.setdefault(key, {})
            continue
        match = re.match(r'(@|"((?:[^"\\]|\\.)*)")=(.*)$', line) if key is not None else None
        if not match:
            continue
        value = match.group(3)
        while value.endswith("\\") and i < len(lines):
            value = value[:-1] + lines[i].strip()
            i += 1
        name = "@" if match.group(1) == "@" else match.group(2).replace('\\\\', '\\').replace('\\"', '"')
        keys[key][name.lower()] = value
    return keys


def restored(pairs, allowed):
    """Every key and value of each export before (the first of a pair) is in the export after, with
    the same text; the values named in allowed ("key :: name") may differ or be added, and keys that
    appear below one named "key\\*" may hold any values (Wine adds a key with a new GUID below
    Control\\Video, its display driver's state, at a time of its own during a session)."""
    trees = tuple(a.lower()[:-1] for a in allowed if a.endswith("\\*"))
    allowed = set(a.lower() for a in allowed)
    problems = []
    for before_path, after_path in pairs:
        before, after = reg_values(before_path), reg_values(after_path)
        for key, values in before.items():
            if key not in after:
                problems.append("key not restored: " + key)
                continue
            for name, value in values.items():
                if key + " :: " + name in allowed:
                    continue
                if name not in after[key]:
                    problems.append("value not restored: %s :: %s" % (key, name))
                elif after[key][name] != value:
                    problems.append("value restored otherwise: %s :: %s: %s, was %s" % (key, name, after[key][name], value))
        for key, values in after.items():
            for name in values:
                if key.startswith(trees) and key not in before:
                    continue
                if (key not in before or name not in before[key]) and key + " :: " + name not in allowed:
                    problems.append("value added: %s :: %s" % (key, name))
    return report(problems)


def file_items(root):
    """The files and folders below root, as lower-cased relative paths with "/"."""
    items = set()
    for folder, dirs, names in os.walk(root):
        for name in dirs + names:
            items.add(os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/").lower())
    return items


def compare(scenario, sim_out, wine_drive_c, wine_hklm, wine_hkcu, skips):
    skips = [s.lower() for s in skips]
    before = reg_items(os.path.join(scenario, "registry.reg"))
    sim = reg_items(os.path.join(sim_out, "registry.reg"))
    wine = reg_items(wine_hklm) | reg_items(wine_hkcu)
    problems = []
    for item in sorted(before):
        if any(s in item for s in skips):
            continue
        if (item in sim) != (item in wine):
            problems.append("registry %s: %s" % (item, "removed under Wine only" if item in sim
                                                 else "removed on the simulated machine only"))
    before = file_items(os.path.join(scenario, "drive_c"))
    sim = file_items(os.path.join(sim_out, "drive_c"))
    wine = file_items(wine_drive_c)
    for item in sorted(before):
        if any(s in item for s in skips):
            continue
        if (item in sim) != (item in wine):
            problems.append("file %s: %s" % (item, "removed under Wine only" if item in sim
                                             else "removed on the simulated machine only"))
    return report(problems)


def main(argv):
    if len(argv) >= 2 and argv[1] == "merge" and len(argv) == 4:
        merge(argv[2], argv[3])
    elif len(argv) >= 2 and argv[1] == "resources" and len(argv) == 4:
        resources(argv[2], argv[3])
    elif len(argv) >= 2 and argv[1] == "version" and len(argv) == 3:
        version(argv[2])
    elif len(argv) >= 2 and argv[1] == "manifest" and len(argv) == 3:
        manifest(argv[2])
    elif len(argv) >= 2 and argv[1] == "reg16" and len(argv) == 4:
        reg16(argv[2], argv[3])
    elif len(argv) >= 2 and argv[1] == "utf16" and len(argv) == 3:
        utf16(argv[2])
    elif len(argv) >= 2 and argv[1] == "find" and len(argv) == 4:
        path = find_path_ci(argv[2], argv[3])
        if path is None:
            return 1
        print(path)
    elif len(argv) >= 6 and argv[1] == "restored":
        return restored([(argv[2], argv[3]), (argv[4], argv[5])], argv[6:])
    elif len(argv) >= 7 and argv[1] == "compare":
        return compare(argv[2], argv[3], argv[4], argv[5], argv[6], argv[7:])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
