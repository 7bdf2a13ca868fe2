#!/usr/bin/python3
"""Peer baseline: the official Azure SDK for Python against the same emulator.

Usage: sdk_baseline.py READY_JSON TOPOLOGY_JSON OUT_JSON [--workers 8] [--api-version V]

Per spoke VNet of the bench topology it makes the tool's kind of calls: one list of the VNets
of each resource group, a GET of the VNet's two route tables (original and staged), a GET of
subnet "app" and a PUT of it unchanged waited with the SDK's LRO poller, and a GET of its hub
peering. It prints the requests made, the process's CPU time (user + system, work only and
with start-up), CPU per request and peak RSS, and writes them to OUT_JSON.

Run with the system's /usr/bin/python3 and Debian's python3-azure. The SDK's newest network
api-version may be one the emulator refuses; then a pipeline policy rewrites the api-version
of every request to one it accepts (--api-version, default 2024-05-01) and the script says so.
"""

import argparse
import json
import resource
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

START_CPU = time.process_time()

import requests  # noqa: E402
from azure.core.credentials import AccessToken  # noqa: E402
from azure.core.exceptions import HttpResponseError  # noqa: E402
from azure.core.pipeline.policies import SansIOHTTPPolicy  # noqa: E402
from azure.mgmt.network import NetworkManagementClient  # noqa: E402


class EmulatorCredential:
    """A client-credentials token from the emulator's token endpoint, kept until it expires."""

    def __init__(self, login_url, tenant, client_id, secret, ca_file):
        self._args = (login_url, tenant, client_id, secret, ca_file)
        self._token = None
        self._lock = threading.Lock()

    def get_token(self, *scopes, **kwargs):
        with self._lock:
            if self._token is None or self._token.expires_on - 60 < time.time():
                login_url, tenant, client_id, secret, ca_file = self._args
                r = requests.post("%s/%s/oauth2/v2.0/token" % (login_url, tenant),
                                  data={"grant_type": "client_credentials", "client_id": client_id,
                                        "client_secret": secret,
                                        "scope": scopes[0] if scopes else ""},
                                  verify=ca_file, timeout=30)
                r.raise_for_status()
                body = r.json()
                self._token = AccessToken(body["access_token"],
                                          int(time.time()) + int(body.get("expires_in", 3599)))
            return self._token


class Counting(SansIOHTTPPolicy):
    """Counts requests and, when told to, replaces the api-version of each."""

    def __init__(self):
        self.count = 0
        self.api_version = None
        self._lock = threading.Lock()

    def on_request(self, request):
        with self._lock:
            self.count += 1
        if self.api_version:
            url = request.http_request.url
            head, sep, query = url.partition("?")
            parts = [p for p in query.split("&") if p and not p.startswith("api-version=")]
            parts.append("api-version=" + self.api_version)
            request.http_request.url = head + "?" + "&".join(parts)


def spokes(topology):
    """(subscription, resource group, vnet name) of every spoke VNet with a hub peering."""
    out = []
    for sub in topology["subscriptions"]:
        for rg in sub.get("resourceGroups", []):
            for vnet in rg.get("virtualNetworks", []):
                if vnet["name"].startswith("spoke-"):
                    out.append((sub["id"], rg["name"], vnet["name"]))
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("ready")
    parser.add_argument("topology")
    parser.add_argument("out")
    parser.add_argument("--workers", type=int, default=8)
    parser.add_argument("--api-version", default="2024-05-01")
    args = parser.parse_args()
    ready = json.load(open(args.ready))
    topology = json.load(open(args.topology))
    sp = topology["service_principals"][0]
    credential = EmulatorCredential(ready["login_url"], sp["tenant"], sp["client_id"],
                                    sp["client_secret"], ready["ca_file"])
    counter = Counting()
    clients = {}

    def client(sub):
        if sub not in clients:
            clients[sub] = NetworkManagementClient(
                credential, sub, base_url=ready["arm_url"], connection_verify=ready["ca_file"],
                credential_scopes=[ready["arm_url"] + "/.default"], per_call_policies=[counter])
        return clients[sub]

    work = spokes(topology)
    if not work:
        sys.exit("sdk_baseline: no spoke VNets in " + args.topology)
    sdk_version = NetworkManagementClient.DEFAULT_API_VERSION
    note = "the SDK's own api-version %s" % sdk_version
    first_sub, first_rg, _ = work[0]
    for sub in sorted({s for s, _, _ in work}):
        client(sub)
    try:
        list(client(first_sub).virtual_networks.list(first_rg))
    except HttpResponseError as e:
        if e.status_code != 400:
            raise
        counter.api_version = args.api_version
        note = ("the emulator refused the SDK's api-version %s (%s); every request sent with "
                "api-version %s instead" % (sdk_version, e.error.code if e.error else e.status_code,
                                           args.api_version))

    cpu0, wall0, requests0 = time.process_time(), time.perf_counter(), counter.count

    def one_group(key):
        sub, rg = key
        return len(list(client(sub).virtual_networks.list(rg)))

    def one_vnet(item):
        sub, rg, vnet = item
        net = client(sub)
        net.route_tables.get(rg, "rt-" + vnet)
        net.route_tables.get(rg, "rt-" + vnet + "-staged")
        subnet = net.subnets.get(rg, vnet, "app")
        net.subnets.begin_create_or_update(rg, vnet, "app", subnet).result()
        net.virtual_network_peerings.get(rg, vnet, vnet + "-to-hub")

    with ThreadPoolExecutor(max_workers=max(1, args.workers)) as pool:
        listed = sum(pool.map(one_group, sorted({(s, g) for s, g, _ in work})))
        list(pool.map(one_vnet, work))

    cpu = time.process_time() - cpu0
    wall = time.perf_counter() - wall0
    sent = counter.count - requests0
    usage = resource.getrusage(resource.RUSAGE_SELF)
    summary = {"run": "sdk", "n": len(work), "wall_s": wall, "cpu_s": cpu,
               "cpu_total_s": time.process_time() - START_CPU, "requests_sent": sent,
               "vnets_listed": listed, "rss_mb": usage.ru_maxrss / 1024, "api_version_note": note}
    json.dump(summary, open(args.out, "w"))
    print("== sdk baseline (azure-mgmt-network, %d VNets, %d workers): %s"
          % (len(work), args.workers, note))
    print("  wall %.2f s, cpu %.2f s (work only; %.2f s with imports and start), "
          "%d requests sent by the SDK, cpu/request %.2f ms, peak RSS %.1f MB"
          % (wall, cpu, summary["cpu_total_s"], sent, 1000 * cpu / sent if sent else 0,
             summary["rss_mb"]))


if __name__ == "__main__":
    main()
