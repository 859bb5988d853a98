#!/usr/bin/python
# The Corvane modules a managed host reaches, as facts, read through its installed Updater.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: facts
short_description: Gather facts about the Corvane modules a host reaches
version_added: "2.11.4"
description:
  - Runs the Updater installed on the managed host with C(--json) and sets
    C(ansible_facts.corvane_modules), one entry per module the host reaches.
  - Each entry holds the serial number, the model, the transport, the version and build the
    module runs, the builds in the host's store and, with O(server), the update server's latest
    build.
  - Changes nothing on the host or the modules.
author:
  - Corvane maintainers (@corvane)
options:
  transport:
    description:
      - Where to look for modules. Without it the Updater looks over USB.
    type: str
    choices: [USB, TCPIP]
  server:
    description:
      - The update server, as the Updater's C(-u) takes it (for example
        C(https://updates.lab.example/cgi/u)). With it each entry carries the server's latest
        build.
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
  updater:
    description:
      - The Updater program. Without it, the one on the managed host's PATH.
    type: path
notes:
  - Needs the Updater from the same release as this collection, or a later one.
  - Supports check mode; it changes nothing either way.
"""

EXAMPLES = r"""
- name: Read the modules of the lab hosts
  corvane.lab.facts:
    server: http://updates.lab.example:8380

- name: Show them
  ansible.builtin.debug:
    msg: "{{ item.serial }} runs {{ item.version }} ({{ item.build }})"
  loop: "{{ ansible_facts.corvane_modules }}"
"""

RETURN = r"""
ansible_facts:
  description: The facts set.
  returned: always
  type: dict
  contains:
    corvane_modules:
      description: One entry per module the host reaches.
      type: list
      elements: dict
      contains:
        serial:
          description: The serial number as eight upper-case hexadecimal digits.
          type: str
        model:
          description: The model code.
          type: int
        model_name:
          description: The model's name.
          type: str
        transport:
          description: How the host reaches it (USB or TCPIP).
          type: str
        version:
          description: The firmware version it runs, null when it did not say.
          type: str
        build:
          description: The firmware build it runs, null when it did not say.
          type: int
        stored_builds:
          description: The builds in the host's store for it, newest version first.
          type: list
          elements: dict
        latest_build:
          description: The update server's latest build for it; null without O(server).
          type: int
        error:
          description: Why the module could not be read, when it could not (another program
            holds it, no permission).
          type: str
          returned: when the module could not be read
"""

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.corvane.lab.plugins.module_utils.updater import (
    Updater,
    UpdaterError,
)

ARGUMENT_SPEC = dict(
    transport=dict(type="str", choices=["USB", "TCPIP"]),
    server=dict(type="str"),
    ca_file=dict(type="path"),
    store=dict(type="path"),
    updater=dict(type="path"),
)


def module_facts(updater, device, server):
    firmware = device.get("firmware") or {}
    serial = device["serial"]
    stored = [
        {"build": entry.get("build_number"),
         "version": (entry.get("version") or {}).get("text")}
        for entry in updater.builds(serial, local=True)
    ]
    latest = None
    if server:
        offered = updater.builds(serial, local=False)
        latest = offered[0].get("build_number") if offered else None
    facts = {
        "serial": serial,
        "model": (device.get("model") or {}).get("code"),
        "model_name": (device.get("model") or {}).get("name"),
        "transport": device.get("transport"),
        "version": (firmware.get("version") or {}).get("text"),
        "build": firmware.get("build"),
        "stored_builds": stored,
        "latest_build": latest,
    }
    if device.get("error"):
        facts["error"] = device["error"].get("message")
    return facts


def main():
    module = AnsibleModule(argument_spec=ARGUMENT_SPEC, supports_check_mode=True)
    params = module.params
    try:
        updater = Updater(module, params["updater"], params["server"], params["ca_file"],
                          params["store"], params["transport"])
        modules = [module_facts(updater, device, params["server"])
                   for device in updater.discover()]
    except UpdaterError as error:
        module.fail_json(msg=str(error))
    module.exit_json(changed=False, ansible_facts={"corvane_modules": modules})


if __name__ == "__main__":
    main()
