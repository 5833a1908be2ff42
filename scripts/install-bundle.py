#!/usr/bin/env python3
"""Installs Stowlet.mailbundle into Mail's plug-in folder, or removes it.

    install-bundle.py install BUNDLE [--mail-app APP] [--bundles-dir DIR] [--macos-version V]
                                     [--no-enable-bundles]
    install-bundle.py uninstall [--bundles-dir DIR]

Mail loads a plug-in only when its Info.plist lists the compatibility UUID of the Mail it
runs in, under the key that Mail on that macOS reads: SupportedPluginCompatibilityUUIDs up
to 10.13, Supported<major.minor>PluginCompatibilityUUIDs from 10.14 on (and, from macOS 11,
where that version may be read as <major>.0, under both forms). The UUID comes from Mail's
own Info.plist (PluginCompatibilityUUID). The UUIDs already listed, in the bundle or in the
copy installed before, are kept, so one bundle serves the Mails it was installed for.

The installed copy is signed ad hoc where codesign exists, Mail's bundle support is turned
on where defaults exists (com.apple.mail EnableBundles), and the copy replaces the one
installed before only once it is whole. A Mail whose Info.plist cannot be read, or names no
UUID, changes nothing. Mail is /System/Applications/Mail.app from macOS 10.15 on, and
/Applications/Mail.app before. On GNUstep the bundle's Resources/Info-gnustep.plist takes
the keys.
"""
import argparse
import os
import plistlib
import platform
import re
import shutil
import subprocess
import sys
import tempfile

NAME = "Stowlet.mailbundle"
MAILS = ("/System/Applications/Mail.app", "/Applications/Mail.app")
PRIVACY = ("macOS may protect ~/Library/Mail: give the terminal Full Disk Access (System "
           "Settings > Privacy & Security), then run it again")


def fail(message):
    print(f"install-bundle: {message}", file=sys.stderr)
    sys.exit(1)


def info_plist(bundle):
    """The bundle's info dictionary file: the Mac layout's, or GNUstep's flattened one."""
    for relative in ("Contents/Info.plist", "Resources/Info-gnustep.plist"):
        path = os.path.join(bundle, relative)
        if os.path.isfile(path):
            return path
    return None


def executable(bundle, info):
    """The bundle's binary as its info dictionary names it, in either layout."""
    mac = os.path.join(bundle, "Contents", "MacOS", str(info.get("CFBundleExecutable", "")))
    gnustep = os.path.join(bundle, str(info.get("NSExecutable", "")))
    return next((p for p in (mac, gnustep) if os.path.isfile(p)), None)


def read_plist(path):
    with open(path, "rb") as f:
        return plistlib.load(f)


def mail_uuid(mail_app):
    path = os.path.join(mail_app, "Contents", "Info.plist")
    try:
        info = read_plist(path)
    except FileNotFoundError:
        fail(f"no Mail at {mail_app} ({path} is missing); give MAIL_APP=/path/to/Mail.app")
    except (plistlib.InvalidFileException, OSError, ValueError) as e:
        fail(f"cannot read {path}: {e}")
    uuid = info.get("PluginCompatibilityUUID") if isinstance(info, dict) else None
    if not isinstance(uuid, str) or not re.fullmatch(r"[0-9A-Fa-f-]{36}", uuid):
        fail(f"{path} names no PluginCompatibilityUUID; is {mail_app} Apple's Mail?")
    return uuid.upper()


def keys_for(version):
    """The Info.plist keys Mail reads its compatibility UUIDs from on that macOS."""
    match = re.fullmatch(r"(\d+)(?:\.(\d+))?(?:\.\d+)*", version.strip())
    if not match:
        fail(f"cannot read the macOS version {version!r}; give MACOS_VERSION=12.6, say")
    major, minor = int(match.group(1)), int(match.group(2) or 0)
    if major == 10 and minor <= 13:
        return ["SupportedPluginCompatibilityUUIDs"]
    if major == 10:
        return [f"Supported10.{minor}PluginCompatibilityUUIDs"]
    keys = [f"Supported{major}.{minor}PluginCompatibilityUUIDs"]
    if minor != 0:
        keys.append(f"Supported{major}.0PluginCompatibilityUUIDs")
    return keys


def running_macos_version():
    try:
        return subprocess.run(["sw_vers", "-productVersion"], capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return platform.mac_ver()[0] or None


def install(args):
    bundle = os.path.abspath(args.bundle)
    source_info = info_plist(bundle)
    if source_info is None or executable(bundle, read_plist(source_info)) is None:
        fail(f"no built bundle at {bundle} (build it first: make bundle)")
    if not args.mail_app:
        args.mail_app = next((m for m in MAILS if os.path.isdir(m)), MAILS[0])
    version = args.macos_version or running_macos_version()
    if not version:
        fail("cannot tell the macOS version; give MACOS_VERSION=12.6, say")
    keys = keys_for(version)
    uuid = mail_uuid(args.mail_app)

    target = os.path.join(os.path.expanduser(args.bundles_dir), NAME)
    try:
        os.makedirs(os.path.dirname(target), exist_ok=True)
        staged = tempfile.mkdtemp(prefix=".Stowlet-", dir=os.path.dirname(target))
    except OSError as e:
        fail(f"cannot write in {os.path.dirname(target)}: {e.strerror}; {PRIVACY}")
    try:
        copy = os.path.join(staged, NAME)
        shutil.copytree(bundle, copy, symlinks=True)
        info_path = info_plist(copy)
        info = read_plist(info_path)
        # Every UUID listed before: in the bundle, and in the copy installed before.
        listed = {}
        previous = info_plist(target) if os.path.isdir(target) else None
        for source in ([read_plist(previous)] if previous else []) + [info]:
            for key, value in source.items():
                if key.startswith("Supported") and key.endswith("PluginCompatibilityUUIDs") \
                        and isinstance(value, list):
                    for item in value:
                        if isinstance(item, str) and item not in listed.setdefault(key, []):
                            listed[key].append(item)
        for key in keys:
            if uuid not in listed.setdefault(key, []):
                listed[key].append(uuid)
        info.update(listed)
        with open(info_path, "wb") as f:
            plistlib.dump(info, f, fmt=plistlib.FMT_XML)

        codesign = shutil.which("codesign")
        if codesign:
            signed = subprocess.run([codesign, "--force", "--sign", "-", "--timestamp=none",
                                     copy], capture_output=True, text=True)
            if signed.returncode != 0:
                fail(f"codesign could not sign the bundle: {signed.stderr.strip()}")
        # The copy replaces the one installed before only now that it is whole.
        old = None
        if os.path.lexists(target):
            old = os.path.join(staged, "previous")
            os.rename(target, old)
        os.rename(copy, target)
    except OSError as e:
        fail(f"cannot install into {os.path.dirname(target)}: {e.strerror}; {PRIVACY}")
    finally:
        shutil.rmtree(staged, ignore_errors=True)

    print(f"Installed {target}")
    print(f"  for Mail {uuid} on macOS {version}, under {', '.join(keys)}")
    if not codesign:
        print("  (no codesign here: the bundle is not signed)")
    enable = ["defaults", "write", "com.apple.mail", "EnableBundles", "-bool", "true"]
    defaults = shutil.which("defaults")
    if not args.enable_bundles:
        print("  (Mail's plug-in support left as it is)")
    elif defaults:
        turned = subprocess.run([defaults] + enable[1:], capture_output=True, text=True)
        if turned.returncode == 0:
            print("  Mail's plug-in support is on (com.apple.mail EnableBundles)")
        else:
            # The bundle is installed all the same; the setting can be made by hand.
            print(f"  warning: could not turn on Mail's plug-in support "
                  f"({turned.stderr.strip()}); run: {' '.join(enable)}")
    else:
        print("  (no defaults here: Mail's plug-in support was not turned on)")
    print("Next: quit and reopen Mail, then tick Stowlet in Mail > Settings (Preferences) >")
    print("General > Manage Plug-ins..., choose Apply and Restart Mail.")


def uninstall(args):
    target = os.path.join(os.path.expanduser(args.bundles_dir), NAME)
    if not os.path.lexists(target):
        print(f"Nothing to remove: no {target}")
        return
    try:
        shutil.rmtree(target) if os.path.isdir(target) and not os.path.islink(target) \
            else os.remove(target)
    except OSError as e:
        fail(f"cannot remove {target}: {e.strerror}; {PRIVACY}")
    print(f"Removed {target}")
    print("Next: quit and reopen Mail. (Mail's plug-in support stays on for other plug-ins.)")


def main():
    parser = argparse.ArgumentParser(description="Install Stowlet.mailbundle into Mail.")
    sub = parser.add_subparsers(dest="command", required=True)
    add = sub.add_parser("install", help="install a built bundle")
    add.add_argument("bundle")
    add.add_argument("--mail-app", default="",
                     help="default: /System/Applications/Mail.app, else /Applications/Mail.app")
    add.add_argument("--bundles-dir", default="~/Library/Mail/Bundles")
    add.add_argument("--macos-version", default="", help="default: the running system's")
    add.add_argument("--no-enable-bundles", dest="enable_bundles", action="store_false",
                     help="leave Mail's plug-in support (EnableBundles) as it is")
    remove = sub.add_parser("uninstall", help="remove the installed bundle")
    remove.add_argument("--bundles-dir", default="~/Library/Mail/Bundles")
    args = parser.parse_args()
    install(args) if args.command == "install" else uninstall(args)


if __name__ == "__main__":
    main()
