#!/usr/bin/env python3
"""Groups the HTTP requests of one run, read from the tool's debug log lines
("dm.http: METHOD URL -> STATUS (T ms)"), by method and path shape, per VNet.

Usage: request_breakdown.py LOG_SLICE N
"""
import collections
import re
import sys

COLLECTIONS = ("virtualNetworks", "routeTables", "subnets", "virtualNetworkPeerings",
               "virtualNetworkGateways", "locks", "operations", "operationResults", "virtualHubs",
               "hubVirtualNetworkConnections", "resourcegroups")
LINE = re.compile(r"dm\.http: (GET|PUT|POST|DELETE|PATCH) (\S+) -> (\S+)")


def shape(url):
    path, _, query = url.partition("?")
    path = re.sub(r"^https?://[^/]+", "", path)
    if path.endswith("/oauth2/v2.0/token"):
        return "token"
    if path == "/v1/api":
        return "controller /v1/api"
    parts = path.strip("/").split("/")
    out = []
    i = 0
    while i < len(parts):
        part = parts[i]
        out.append(part)
        low = part.lower()
        if low in ("subscriptions",) and i + 1 < len(parts):
            out.append("{sub}")
            i += 1
        elif low in (c.lower() for c in COLLECTIONS) and i + 1 < len(parts):
            out.append("{%s}" % ("rg" if low == "resourcegroups" else "name"))
            i += 1
        elif low == "locations" and i + 1 < len(parts):
            out.append("{loc}")
            i += 1
        i += 1
    text = "/" + "/".join(out)
    text = text.replace("/providers/Microsoft.Network", "/N")
    if "$skiptoken" in query or "skiptoken" in query.lower():
        text += " (next page)"
    return text


def main():
    log_file, n = sys.argv[1], int(sys.argv[2])
    counts = collections.Counter()
    for line in open(log_file, errors="replace"):
        m = LINE.search(line)
        if m:
            counts[(m.group(1), shape(m.group(2)))] += 1
    total = sum(counts.values())
    print("  %-7s %-100s %7s %8s" % ("method", "path shape (N = providers/Microsoft.Network)", "count", "per VNet"))
    for (method, path), count in sorted(counts.items(), key=lambda kv: -kv[1]):
        print("  %-7s %-100s %7d %8.2f" % (method, path[:100], count, count / n))
    print("  %-108s %7d %8.2f" % ("total", total, total / n))


if __name__ == "__main__":
    main()
