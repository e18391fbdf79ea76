#!/usr/bin/env python3
"""Writes a heavy scenario machine: the demo machine (the product installed beside unrelated software)
plus the bulk that years of other software leave on a real machine.

    scripts/make-heavy-machine.py SCALE OUT_DIR

At scale 1: 100,000 Windows Installer component keys, 10,000 SharedDLLs values, 2,000 uninstall
entries, 2,000 installer folder values and 300 OEM driver packages (.inf of 24 KB each, with their
.pnf). Every count is multiplied by SCALE and rounded. The output depends only on SCALE: names and
data come from hashes of counters, never from a random source or the clock.
"""
import hashlib
import os
import shutil
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEMO = os.path.join(ROOT, "machines", "demo")

HKLM_CV = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion"
COMPONENTS = HKLM_CV + "\\Installer\\UserData\\S-1-5-18\\Components"
VENDORS = ["Alderwick", "Brightmoor", "Calloway", "Dunmere", "Eastfold", "Farrowdale", "Glenhaven",
           "Hollins", "Ivybridge", "Juniper", "Kingsmere", "Larkspur", "Marlowe", "Northgate",
           "Oakhurst", "Pemberton", "Quarrington", "Redfern", "Stanmore", "Thornbury"]
FOLDERS = ["bin", "lib", "plugins", "resources", "x64", "redist", "modules", "data"]
EXTENSIONS = ["dll", "exe", "sys", "ocx", "dat", "cfg", "xml", "mui"]


def digest(*parts):
    return hashlib.sha1("/".join(str(p) for p in parts).encode()).hexdigest().upper()


def packed_code(*parts):
    """A 32-digit packed GUID, as the installer's keys name products and components."""
    return digest(*parts)[:32]


def guid(*parts):
    h = digest(*parts)
    return "{%s-%s-%s-%s-%s}" % (h[0:8], h[8:12], h[12:16], h[16:20], h[20:32])


def reg_text(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def product_folder(n):
    vendor = VENDORS[n % len(VENDORS)]
    return "C:\\Program Files\\%s\\Suite %d" % (vendor, n)


def write_registry(out, scale):
    products = [packed_code("product", p) for p in range(max(1, round(500 * scale)))]

    out.write("\n; ---- bulk of unrelated software ----\n\n")
    for i in range(round(100000 * scale)):
        out.write("[%s\\%s]\n" % (COMPONENTS, packed_code("component", i)))
        h = int(digest("component values", i)[:8], 16)
        for k in range(1 + h % 3):
            p = (h >> 4) % len(products) if k == 0 else (h >> (4 + 3 * k)) % len(products)
            path = "%s\\%s\\file%d.%s" % (product_folder(p), FOLDERS[(h >> 8) % len(FOLDERS)], i,
                                           EXTENSIONS[(h >> 12) % len(EXTENSIONS)])
            out.write("%s=%s\n" % (reg_text(products[(p + k) % len(products)]), reg_text(path)))
        out.write("\n")

    out.write("[%s\\SharedDLLs]\n" % HKLM_CV)
    for i in range(round(10000 * scale)):
        h = int(digest("shared", i)[:8], 16)
        path = "%s\\%s\\shared%d.dll" % (product_folder(h % 997), FOLDERS[(h >> 10) % len(FOLDERS)], i)
        out.write("%s=dword:%08x\n" % (reg_text(path), 1 + h % 4))
    out.write("\n")

    for i in range(round(2000 * scale)):
        code = guid("uninstall", i)
        vendor = VENDORS[i % len(VENDORS)]
        folder = product_folder(i)
        out.write("[%s\\Uninstall\\%s]\n" % (HKLM_CV, code))
        out.write('"AuthorizedCDFPrefix"=""\n')
        out.write('"Comments"=%s\n' % reg_text("%s Suite %d" % (vendor, i)))
        out.write('"DisplayName"=%s\n' % reg_text("%s Suite %d" % (vendor, i)))
        out.write('"DisplayVersion"="%d.%d.%d"\n' % (1 + i % 9, i % 13, i % 1000))
        out.write('"EstimatedSize"=dword:%08x\n' % (1000 + i * 37 % 90000))
        out.write('"InstallDate"="2023%02d%02d"\n' % (1 + i % 12, 1 + i % 28))
        out.write('"InstallLocation"=%s\n' % reg_text(folder + "\\"))
        out.write('"InstallSource"=%s\n' % reg_text("C:\\ProgramData\\Package Cache\\%s\\" % code))
        out.write('"Publisher"=%s\n' % reg_text(vendor + " Ltd"))
        out.write('"UninstallString"=%s\n' % reg_text("MsiExec.exe /X%s" % code))
        out.write('"VersionMajor"=dword:%08x\n' % (1 + i % 9))
        out.write('"VersionMinor"=dword:%08x\n' % (i % 13))
        out.write('"WindowsInstaller"=dword:00000001\n\n')

    out.write("[%s\\Installer\\Folders]\n" % HKLM_CV)
    for i in range(round(2000 * scale)):
        out.write('%s=""\n' % reg_text("%s\\%s\\" % (product_folder(i), FOLDERS[i % len(FOLDERS)])))
    out.write("\n")


def inf_text(n):
    """An unrelated vendor's driver package of 24 KB: CR LF lines, ANSI."""
    vendor = VENDORS[n % len(VENDORS)]
    lines = ["; %s device driver %d" % (vendor.lower(), n),
             "[Version]",
             'Signature="$Windows NT$"',
             "Class=USB",
             "ClassGuid={36fc9e60-c465-11cf-8056-444553540000}",
             "Provider=%%%s%%" % vendor.upper(),
             "DriverVer=01/%02d/2022,%d.%d.0.0" % (1 + n % 28, 1 + n % 7, n),
             "CatalogFile=%s%d.cat" % (vendor.lower(), n),
             "",
             "[Manufacturer]",
             "%%%s%%=%s,NTamd64" % (vendor.upper(), vendor),
             "",
             "[%s.NTamd64]" % vendor]
    body = "\r\n".join(lines) + "\r\n"
    device = 0
    while True:
        line = "%%Dev%d.DeviceDesc%%=Dev_Install,USB\\VID_%04X&PID_%04X\r\n" % (
            device, 0x1000 + n, int(digest("inf", n, device)[:4], 16))
        tail = "\r\n[Strings]\r\n%s=\"%s Ltd\"\r\n" % (vendor.upper(), vendor)
        if len(body) + len(line) + len(tail) > 24 * 1024:
            break
        body += line
        device += 1
    body += tail
    return body.ljust(24 * 1024 - 2, ";") + "\r\n"


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make-heavy-machine.py SCALE OUT_DIR")
    scale = float(sys.argv[1])
    out_dir = sys.argv[2]
    if scale <= 0:
        sys.exit("make-heavy-machine.py: SCALE must be positive")
    if os.path.exists(out_dir) and os.listdir(out_dir):
        sys.exit("make-heavy-machine.py: %s: the output folder must be empty or absent" % out_dir)
    os.makedirs(out_dir, exist_ok=True)
    shutil.copytree(os.path.join(DEMO, "drive_c"), os.path.join(out_dir, "drive_c"))
    shutil.copy(os.path.join(DEMO, "machine.ini"), os.path.join(out_dir, "machine.ini"))
    with open(os.path.join(DEMO, "registry.reg"), "rb") as demo:
        demo_bytes = demo.read()
    if demo_bytes.startswith(b"\xff\xfe") or demo_bytes.startswith(b"\xef\xbb\xbf"):
        sys.exit("make-heavy-machine.py: the demo registry.reg is expected as UTF-8 without a byte-order mark")
    with open(os.path.join(out_dir, "registry.reg"), "w", encoding="utf-8", newline="\n") as out:
        out.write(demo_bytes.decode("utf-8").rstrip("\n") + "\n")
        write_registry(out, scale)

    inf_dir = os.path.join(out_dir, "drive_c", "windows", "inf")
    first = 1 + max(int(name[3:-4]) for name in os.listdir(inf_dir)
                    if name.lower().startswith("oem") and name.lower().endswith(".inf"))
    for i in range(round(300 * scale)):
        with open(os.path.join(inf_dir, "oem%d.inf" % (first + i)), "w", encoding="ascii", newline="") as inf:
            inf.write(inf_text(first + i))
        with open(os.path.join(inf_dir, "oem%d.pnf" % (first + i)), "wb") as pnf:
            pnf.write(bytes.fromhex(digest("pnf", i)) * 3)


if __name__ == "__main__":
    main()
