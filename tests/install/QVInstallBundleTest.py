#!/usr/bin/env python3
"""scripts/install-bundle.py over fake Mails: their Info.plist for several macOS versions (XML
and binary), a fake home folder, and codesign and defaults present (as scripts that record
their arguments) or absent. Checks the keys written, the UUIDs kept, the messages given, and
that a Mail that cannot be read changes nothing.

    QVInstallBundleTest.py INSTALL_SCRIPT [BUILT_BUNDLE]
"""
import os
import plistlib
import shutil
import subprocess
import sys
import tempfile

script = sys.argv[1]
built = sys.argv[2] if len(sys.argv) > 2 and os.path.isdir(sys.argv[2]) else None
work = tempfile.mkdtemp(prefix="stowlet-install-")
failures = 0


def check(ok, what):
    global failures
    if not ok:
        failures += 1
        print(f"FAILED: {what}")


def mac_bundle():
    """A bundle in the Mac's layout, with one UUID of an older Mail already listed."""
    path = os.path.join(work, "built", "Stowlet.mailbundle")
    shutil.rmtree(os.path.dirname(path), ignore_errors=True)
    os.makedirs(os.path.join(path, "Contents", "MacOS"))
    with open(os.path.join(path, "Contents", "MacOS", "Stowlet"), "w") as f:
        f.write("binary")
    os.makedirs(os.path.join(path, "Contents", "MacOS", "Stowlet.dSYM"), exist_ok=True)
    with open(os.path.join(path, "Contents", "Info.plist"), "wb") as f:
        plistlib.dump({"CFBundleExecutable": "Stowlet", "NSPrincipalClass": "QVMailPlugin",
                       "Supported10.14PluginCompatibilityUUIDs": ["OLD-1"]}, f)
    return path


def mail(uuid, binary=False, name="Mail.app"):
    path = os.path.join(work, name)
    os.makedirs(os.path.join(path, "Contents"), exist_ok=True)
    info = {"CFBundleIdentifier": "com.apple.mail"}
    if uuid:
        info["PluginCompatibilityUUID"] = uuid
    with open(os.path.join(path, "Contents", "Info.plist"), "wb") as f:
        plistlib.dump(info, f, fmt=plistlib.FMT_BINARY if binary else plistlib.FMT_XML)
    return path


def tools(present):
    """A PATH with python3 and, when `present`, codesign and defaults that record calls."""
    folder = os.path.join(work, "bin-with" if present else "bin-without")
    os.makedirs(folder, exist_ok=True)
    os.symlink(sys.executable, os.path.join(folder, "python3")) \
        if not os.path.exists(os.path.join(folder, "python3")) else None
    if present:
        for tool in ("codesign", "defaults"):
            path = os.path.join(folder, tool)
            with open(path, "w") as f:
                f.write(f'#!/bin/sh\necho "{tool} $*" >> "{work}/calls"\n')
            os.chmod(path, 0o755)
    return folder


def run(args, path):
    env = {"PATH": path, "HOME": os.path.join(work, "home")}
    return subprocess.run([sys.executable, script] + args, capture_output=True, text=True, env=env)


def installed_info(bundles):
    for relative in ("Contents/Info.plist", "Resources/Info-gnustep.plist"):
        p = os.path.join(bundles, "Stowlet.mailbundle", relative)
        if os.path.exists(p):
            with open(p, "rb") as f:
                return plistlib.load(f)
    return None


UUID = "25288CEF-7D9B-49A8-BE6B-E41DA6277CF3"
# macOS version, the keys Mail on it reads.
rows = [
    ("10.12.6", ["SupportedPluginCompatibilityUUIDs"]),
    ("10.13", ["SupportedPluginCompatibilityUUIDs"]),
    ("10.14.6", ["Supported10.14PluginCompatibilityUUIDs"]),
    ("10.15.7", ["Supported10.15PluginCompatibilityUUIDs"]),
    ("11.7.10", ["Supported11.7PluginCompatibilityUUIDs", "Supported11.0PluginCompatibilityUUIDs"]),
    ("12.0", ["Supported12.0PluginCompatibilityUUIDs"]),
    ("14.4.1", ["Supported14.4PluginCompatibilityUUIDs", "Supported14.0PluginCompatibilityUUIDs"]),
]
with_tools, without_tools = tools(True), tools(False)
for i, (version, keys) in enumerate(rows):
    bundles = os.path.join(work, f"home-{i}", "Bundles")
    app = mail(UUID, binary=i % 2 == 1)
    r = run(["install", mac_bundle(), "--mail-app", app, "--bundles-dir", bundles,
             "--macos-version", version], with_tools if i % 2 == 0 else without_tools)
    check(r.returncode == 0, f"{version}: installs ({r.stderr.strip()})")
    info = installed_info(bundles) or {}
    for key in keys:
        check(UUID in info.get(key, []), f"{version}: the UUID under {key}")
    written = sorted(k for k in info if k.endswith("PluginCompatibilityUUIDs"))
    check(written == sorted(set(keys) | {"Supported10.14PluginCompatibilityUUIDs"}),
          f"{version}: no other key written: {written}")
    check(info.get("Supported10.14PluginCompatibilityUUIDs", [None])[0] == "OLD-1",
          f"{version}: the UUID listed before is kept")
    check("Restart" in r.stdout or "reopen Mail" in r.stdout, f"{version}: says what comes next")
    if i % 2 == 1:
        check("no codesign here" in r.stdout and "no defaults here" in r.stdout,
              f"{version}: says it did not sign or turn on plug-ins without the tools")

# codesign and defaults were called as Mail needs them.
with open(os.path.join(work, "calls")) as f:
    calls = f.read()
check("codesign --force --sign - --timestamp=none " in calls, "signed ad hoc: " + calls)
check("defaults write com.apple.mail EnableBundles -bool true" in calls,
      "Mail's bundle support turned on")

# Installed again for another Mail: both UUIDs, the copy replaced whole.
bundles = os.path.join(work, "again", "Bundles")
run(["install", mac_bundle(), "--mail-app", mail(UUID), "--bundles-dir", bundles,
     "--macos-version", "13.6"], without_tools)
other = "11111111-2222-3333-4444-555555555555"
r = run(["install", mac_bundle(), "--mail-app", mail(other, name="Other.app"), "--bundles-dir",
         bundles, "--macos-version", "13.6"], without_tools)
info = installed_info(bundles) or {}
check(r.returncode == 0 and info.get("Supported13.6PluginCompatibilityUUIDs") == [UUID, other],
      "a second Mail: its UUID added to those installed before")
check(sorted(os.listdir(bundles)) == ["Stowlet.mailbundle"], "nothing left beside the bundle")

# A Mail that cannot be read changes nothing, and says so.
before = installed_info(bundles)
for what, app in [("no Mail", os.path.join(work, "Missing.app")),
                  ("a Mail without a UUID", mail(None, name="NoUuid.app"))]:
    r = run(["install", mac_bundle(), "--mail-app", app, "--bundles-dir", bundles,
             "--macos-version", "13.6"], without_tools)
    check(r.returncode == 1 and r.stderr.startswith("install-bundle: ") and
          r.stderr.count("\n") == 1, f"{what}: a one-line error ({r.stderr.strip()})")
    check(installed_info(bundles) == before, f"{what}: the installed bundle is unchanged")
r = run(["install", mac_bundle(), "--mail-app", mail(UUID), "--bundles-dir", bundles,
         "--macos-version", "ten"], without_tools)
check(r.returncode == 1 and "macOS version" in r.stderr, "an unreadable version: an error")
unbuilt = mac_bundle()
os.remove(os.path.join(unbuilt, "Contents", "MacOS", "Stowlet"))
r = run(["install", unbuilt, "--mail-app", mail(UUID), "--bundles-dir", bundles,
         "--macos-version", "13.6"], without_tools)
check(r.returncode == 1 and "no built bundle" in r.stderr and installed_info(bundles) == before,
      "a bundle whose binary was never built: an error, nothing changed")
# A Mac's defaults refusing (a protected container): installed, with the command to run.
failing = tools(False) + "-failing"
os.makedirs(failing, exist_ok=True)
with open(os.path.join(failing, "defaults"), "w") as f:
    f.write("#!/bin/sh\necho 'Could not write domain' >&2\nexit 1\n")
os.chmod(os.path.join(failing, "defaults"), 0o755)
r = run(["install", mac_bundle(), "--mail-app", mail(UUID), "--bundles-dir", bundles,
         "--macos-version", "13.6"], failing + os.pathsep + without_tools)
check(r.returncode == 0 and "run: defaults write com.apple.mail EnableBundles" in r.stdout,
      "defaults refused: a warning with the command, the bundle installed")
r = run(["install", mac_bundle(), "--mail-app", mail(UUID), "--bundles-dir", bundles,
         "--macos-version", "13.6", "--no-enable-bundles"], with_tools)
check(r.returncode == 0 and "left as it is" in r.stdout, "--no-enable-bundles leaves it")
# A folder that cannot be written: one line that says why, no traceback.
locked = os.path.join(work, "locked")
os.makedirs(locked)
os.chmod(locked, 0o500)
if os.geteuid() != 0:
    r = run(["install", mac_bundle(), "--mail-app", mail(UUID), "--bundles-dir",
             os.path.join(locked, "Bundles"), "--macos-version", "13.6"], without_tools)
    check(r.returncode == 1 and "Full Disk Access" in r.stderr and "Traceback" not in r.stderr,
          "a protected folder: a one-line error")
os.chmod(locked, 0o700)

# Removed, and removed again.
r = run(["uninstall", "--bundles-dir", bundles], without_tools)
check(r.returncode == 0 and not os.path.exists(os.path.join(bundles, "Stowlet.mailbundle")),
      "uninstall removes the bundle")
r = run(["uninstall", "--bundles-dir", bundles], without_tools)
check(r.returncode == 0 and "Nothing to remove" in r.stdout, "uninstall twice: nothing to do")

# The bundle built here (GNUstep's layout, or the Mac's), the same way.
if built:
    bundles = os.path.join(work, "built-here", "Bundles")
    r = run(["install", built, "--mail-app", mail(UUID), "--bundles-dir", bundles,
             "--macos-version", "14.4"], without_tools)
    info = installed_info(bundles) or {}
    installed = os.path.join(bundles, "Stowlet.mailbundle")
    check(r.returncode == 0 and UUID in info.get("Supported14.4PluginCompatibilityUUIDs", []) and
          info.get("NSPrincipalClass") == "QVMailPlugin" and
          any(os.path.isfile(os.path.join(installed, *p))
              for p in (("Stowlet",), ("Contents", "MacOS", "Stowlet"))),
          "the bundle built here installs with its keys in its Info.plist")

shutil.rmtree(work, ignore_errors=True)
print(f"{sys.argv[0]}: {failures} failed")
sys.exit(1 if failures else 0)
