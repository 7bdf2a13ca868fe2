#!/usr/bin/env python3
"""Prints the parts of the emulator's state that a switch changes, or what changed between two
saved states.

  show_changes.py save READY_FILE OUT.json      save the current state
  show_changes.py diff BEFORE.json AFTER.json    list what differs
"""
import json
import ssl
import sys
import urllib.request


def fetch_state(ready_file):
    with open(ready_file) as f:
        ready = json.load(f)
    ctx = ssl.create_default_context(cafile=ready["ca_file"])
    with urllib.request.urlopen(ready["admin_url"] + "/state", context=ctx) as r:
        return json.load(r)


def facts(state):
    """A flat map of the facts worth showing: subnet associations, peerings, hub connections,
    locks, route propagation, attachments, advertised CIDRs and security domains."""
    out = {}
    for sub in state.get("subscriptions", []):
        for rg in sub.get("resourceGroups", []):
            for rt in rg.get("routeTables", []):
                flag = rt.get("disableBgpRoutePropagation", False)
                out[f"route table {rt['name']}"] = "propagation " + ("off" if flag else "on")
            for vnet in rg.get("virtualNetworks", []):
                for s in vnet.get("subnets", []):
                    rt = s.get("routeTable")
                    rt = rt.split("/")[-1] if isinstance(rt, str) else (rt or {}).get("id", "").split("/")[-1]
                    out[f"subnet {vnet['name']}/{s['name']}"] = rt or "(no route table)"
                for p in vnet.get("virtualNetworkPeerings", []):
                    name = p["name"]
                    if name.startswith("RemoteVnetToHubPeering_"):
                        name = "RemoteVnetToHubPeering_*"
                    urg = p.get("useRemoteGateways", False)
                    out[f"peering {vnet['name']}/{name}"] = "present" + (", uses remote gateways" if urg else "")
            for hub in rg.get("virtualHubs", []):
                for c in hub.get("hubVirtualNetworkConnections", []):
                    out[f"hub connection {hub['name']}/{c['name']}"] = "present"
    for lock in state.get("locks", []):
        out[f"lock {lock['name']}"] = lock.get("level", "")
    ctrl = state.get("controller", {})
    for a in ctrl.get("attachments", []):
        out[f"attachment {a['spoke_gw_name']}"] = "to " + a["transit_gw_name"] + " with " + ",".join(a.get("route_tables", []))
    for g in ctrl.get("gateways", []):
        if g.get("gw_type", "spoke") == "spoke":
            out[f"advertised cidrs {g['gw_name']}"] = ",".join(g.get("advertised_cidrs", [])) or "(VNet CIDRs)"
    for d in ctrl.get("security_domains", []):
        out[f"security domain {d['domain_name']}"] = ",".join(d.get("attachments", [])) or "(empty)"
    return out


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "save":
        with open(sys.argv[3], "w") as f:
            json.dump(fetch_state(sys.argv[2]), f, indent=1)
        return 0
    if len(sys.argv) == 4 and sys.argv[1] == "diff":
        with open(sys.argv[2]) as f:
            before = facts(json.load(f))
        with open(sys.argv[3]) as f:
            after = facts(json.load(f))
        changed = 0
        for key in sorted(set(before) | set(after)):
            b, a = before.get(key, "(absent)"), after.get(key, "(absent)")
            if b != a:
                print(f"  {key}: {b} -> {a}")
                changed += 1
        if not changed:
            print("  (no change)")
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
