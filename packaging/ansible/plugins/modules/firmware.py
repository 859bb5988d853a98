#!/usr/bin/python
# Firmware of Corvane modules brought to an image, a build or the server's latest build, through
# the managed host's installed Updater; modules already there are left alone.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: firmware
short_description: Bring the firmware of Corvane modules to an image or build
version_added: "2.11.4"
description:
  - Runs the Updater installed on the managed host with C(--json) to update the firmware of the
    modules named in O(serials), or of every module the host reaches with O(all).
  - The firmware to install is O(image), else build O(build) from the store (fetched first with
    O(get)), else with O(get) the update server's latest build, else the newest build in the
    store.
  - A module that already runs that version and build is left alone and reported unchanged;
    C(changed) is true only when a module was updated. With O(all) a module is updated only when
    the firmware is newer than what it runs.
  - In check mode it says which modules would be updated and touches none.
  - When a module fails, the task fails naming the failed serial numbers, with the command that
    recovers each module an update left in its loader.
author:
  - Corvane maintainers (@corvane)
options:
  serials:
    description:
      - The modules to update, by serial number (eight hexadecimal digits).
    type: list
    elements: str
  all:
    description:
      - Every module the host reaches for which the firmware is newer than what it runs.
    type: bool
    default: false
  image:
    description:
      - A BIRD file on the managed host to install. Its version decides which modules run it
        already.
    type: path
  get:
    description:
      - Fetch the build from the update server into the store first, as C(Updater -G -U) does
        (O(build), or the server's latest).
    type: bool
    default: false
  build:
    description:
      - The build to install, from the store (or fetched with O(get)).
    type: int
  server:
    description:
      - The update server, as the Updater's C(-u) takes it.
    type: str
  ca_file:
    description:
      - A PEM file of the certificate authority that signed an https update server's
        certificate, for a lab's own authority. Verification stays on.
    type: path
  store:
    description:
      - The store folder, as the Updater's C(-i) takes it. Without it, the Updater's default
        under the home directory.
    type: path
  jobs:
    description:
      - How many modules update at once (the Updater's C(--jobs)). Without it, the Updater's
        default.
    type: int
  transport:
    description:
      - How the modules are reached. Without it, over USB and then TCP/IP.
    type: str
    choices: [USB, TCPIP]
  updater:
    description:
      - The Updater program. Without it, the one on the managed host's PATH.
    type: path
notes:
  - Needs the Updater from the same release as this collection, or a later one.
  - Supports check mode.
"""

EXAMPLES = r"""
- name: Every module of the rack to the server's latest build, four at a time
  corvane.lab.firmware:
    all: true
    get: true
    server: https://updates.lab.example/cgi/u
    ca_file: /etc/ssl/lab-ca.pem
    jobs: 4

- name: Two modules to one image
  corvane.lab.firmware:
    serials: [40F5849A, 0BADF00D]
    image: /srv/firmware/hub-2.11.5.bird
"""

RETURN = r"""
modules:
  description: Each module's result, in the order the modules were named or found; updated and
    failed modules as the Updater's JSON document reports them, the others with outcome
    C(unchanged) (or C(would_update) in check mode) and what they run.
  returned: always
  type: list
  elements: dict
would_update:
  description: The serial numbers of the modules that would be updated (check mode), or were.
  returned: always
  type: list
  elements: str
failed_serials:
  description: The serial numbers of the modules that failed.
  returned: on failure
  type: list
  elements: str
recovery_commands:
  description: For each failed module left in its loader, the command that recovers it.
  returned: on failure
  type: dict
"""

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.corvane.lab.plugins.module_utils.updater import (
    Updater,
    UpdaterError,
    firmware_text,
    version_tuple,
)

ARGUMENT_SPEC = dict(
    serials=dict(type="list", elements="str"),
    all=dict(type="bool", default=False),
    image=dict(type="path"),
    get=dict(type="bool", default=False),
    build=dict(type="int"),
    server=dict(type="str"),
    ca_file=dict(type="path"),
    store=dict(type="path"),
    jobs=dict(type="int"),
    transport=dict(type="str", choices=["USB", "TCPIP"]),
    updater=dict(type="path"),
)
MUTUALLY_EXCLUSIVE = [["serials", "all"], ["image", "build"], ["image", "get"]]
REQUIRED_ONE_OF = [["serials", "all"]]


class Target(object):
    """The firmware a module is to run: a version, a build, or both."""

    def __init__(self, version=None, build=None, source=""):
        self.version = version
        self.build = build
        self.source = source

    def describe(self):
        if self.build is not None and self.version:
            return "%s (%s)" % (self.version, self.build)
        return self.version or str(self.build)

    def runs(self, firmware):
        """True when firmware (a document's firmware object) is this target."""
        if not firmware:
            return False
        if self.build is not None and firmware.get("build") != self.build:
            return False
        running = version_tuple((firmware.get("version") or {}).get("text"))
        return self.version is None or running == version_tuple(self.version)

    def newer_than(self, firmware):
        """True when this target is newer than firmware: by version when both are known, else by
        build."""
        if not firmware:
            return True
        running = version_tuple((firmware.get("version") or {}).get("text"))
        wanted = version_tuple(self.version) if self.version else None
        if running and wanted:
            return wanted > running
        return self.build is not None and self.build > (firmware.get("build") or 0)


def target_for(updater, params, serial, image_version):
    """The firmware the module is to run, or None when there is none to install."""
    if params["image"]:
        return Target(version=image_version, source="image")
    if params["build"] is not None:
        return Target(build=params["build"], source="build")
    if params["get"]:
        offered = updater.builds(serial, local=False)
        if not offered:
            return None
        latest = offered[0]
        return Target((latest.get("version") or {}).get("text"), latest.get("build_number"),
                      "server")
    stored = updater.builds(serial, local=True)
    if not stored:
        return None
    newest = stored[0]
    return Target((newest.get("version") or {}).get("text"), newest.get("build_number"), "store")


def find_modules(updater, params):
    """The modules the host reaches by serial number. Without a transport the Updater's -U looks
    over USB, then TCP/IP: a named module not found over USB is looked for over TCP/IP too."""
    found = {device["serial"]: device for device in updater.discover()}
    named = [serial.upper() for serial in params["serials"] or []]
    if not params["transport"] and any(serial not in found for serial in named):
        over_tcp = Updater(updater.module, updater.path, transport="TCPIP")
        over_tcp.common = updater.common
        for device in over_tcp.discover():
            found.setdefault(device["serial"], device)
    return found, (list(found) if params["all"] else named)


def plan(updater, params):
    """(serials to update, modules left alone, modules that cannot be updated), each in the
    order named or found."""
    image_version = updater.image_version(params["image"]) if params["image"] else None
    found, serials = find_modules(updater, params)
    to_update, unchanged, problems = [], [], []
    for serial in serials:
        device = found.get(serial)
        if device is None:
            problems.append(failure(serial, "not_found", "the host does not reach it"))
            continue
        firmware = device.get("firmware")
        target = target_for(updater, params, serial, image_version)
        if target is None:
            where = "in the store or on the server" if params["get"] else "in the store"
            if params["all"]:
                unchanged.append(left_alone(serial, firmware, "no build for it " + where))
            else:
                problems.append(failure(serial, "no_build", "no build for it " + where))
        elif target.runs(firmware):
            unchanged.append(left_alone(serial, firmware,
                                        "runs %s already" % firmware_text(firmware)))
        elif params["all"] and not target.newer_than(firmware):
            unchanged.append(left_alone(serial, firmware, "runs %s; %s is not newer"
                                        % (firmware_text(firmware), target.describe())))
        else:
            to_update.append(serial)
    return to_update, unchanged, problems


def left_alone(serial, firmware, reason):
    return {"serial": serial, "outcome": "unchanged", "reason": reason, "running": firmware}


def failure(serial, kind, message):
    return {"serial": serial, "outcome": "failed", "error": {"kind": kind, "message": message}}


def update_arguments(params, serials):
    args = ["-U"]
    if params["get"]:
        args.insert(0, "-G")
    for serial in serials:
        args += ["-d", serial]
    if params["image"]:
        args += ["-f", params["image"]]
    if params["build"] is not None:
        args += ["-b", str(params["build"])]
    if params["jobs"] is not None:
        args += ["--jobs", str(params["jobs"])]
    return args


def fail(module, modules, to_update, changed=False):
    """Fails the task naming every failed module, with the commands that recover them."""
    failed = [m for m in modules if m.get("outcome") not in ("updated", "unchanged",
                                                              "would_update")]
    recovery = {m["serial"]: (m.get("error") or {}).get("recovery_command")
                for m in failed if (m.get("error") or {}).get("recovery_command")}
    reasons = "; ".join("%s: %s" % (m["serial"], (m.get("error") or {}).get("message")
                                     or m.get("reason") or m.get("outcome"))
                        for m in failed)
    module.fail_json(msg="the update failed for %s" % reasons, changed=changed, modules=modules,
                     would_update=to_update, failed_serials=[m["serial"] for m in failed],
                     recovery_commands=recovery)


def main():
    module = AnsibleModule(argument_spec=ARGUMENT_SPEC, mutually_exclusive=MUTUALLY_EXCLUSIVE,
                           required_one_of=REQUIRED_ONE_OF, supports_check_mode=True)
    params = module.params
    try:
        updater = Updater(module, params["updater"], params["server"], params["ca_file"],
                          params["store"], params["transport"])
        to_update, unchanged, problems = plan(updater, params)
        reported = []
        if to_update and not module.check_mode:
            document, _ = updater.run(update_arguments(params, to_update), transport=True)
            reported = (document.get("update") or {}).get("modules") or []
            if not reported:
                error = document.get("error") or {}
                reported = [failure(serial, error.get("kind", "failed"),
                                    error.get("message") or "the Updater gave no reason")
                            for serial in to_update]
        elif to_update:
            reported = [{"serial": serial, "outcome": "would_update"} for serial in to_update]
    except UpdaterError as error:
        module.fail_json(msg=str(error))

    modules = reported + unchanged + problems
    updated = any(m.get("outcome") == "updated" for m in reported)
    if problems or any(m.get("outcome") not in ("updated", "would_update") for m in reported):
        fail(module, modules, to_update, changed=updated)
    module.exit_json(changed=updated or (module.check_mode and bool(to_update)),
                     modules=modules, would_update=to_update)


if __name__ == "__main__":
    main()
