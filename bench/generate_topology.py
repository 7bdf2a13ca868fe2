#!/usr/bin/env python3
"""Staged topology generator for the cloud emulator.

Writes, into OUT_DIR:
  topology.json        the emulator topology (spokes, hub, transit, controller)
  discovery.yaml.in    the discovery YAML with @WORK@ @BASE_URL@ @CA_FILE@ @CONTROLLER@ to fill
  terraform/<alias>/<vnet>.tf   one Terraform file per VNet, as the staging step leaves them

Usage: generate_topology.py N OUT_DIR [--subscriptions S] [--groups G]
"""
import argparse
import ipaddress
import json
import os

TENANT = "11111111-1111-1111-1111-111111111111"
CLIENT = "22222222-2222-2222-2222-222222222222"
SECRET = "bench-azure-secret"
CTRL_PASSWORD = "bench-controller-password"
HUB_SUB = "00000000-0000-0000-0000-00000000ffff"
HUB_ALIAS = "hub-central"
DEFAULT_ROUTE = [{"name": "default", "addressPrefix": "0.0.0.0/0",
                  "nextHopType": "VirtualAppliance", "nextHopIpAddress": "10.250.1.4"}]


def sub_id(s):
    return "00000000-0000-0000-0000-%012x" % (0xa000 + s)


def vnet_id(sub, rg, name):
    return ("/subscriptions/%s/resourceGroups/%s/providers/Microsoft.Network/virtualNetworks/%s"
            % (sub, rg, name))


def vnet_space(i):
    # One /20 per VNet from 10.0.0.0 upwards: room for 4000 VNets below 10.250.0.0.
    return ipaddress.ip_network((int(ipaddress.ip_address("10.0.0.0")) + i * 4096, 20))


def gw_name_for(cidr):
    address = cidr.split("/")[0]
    return "azu-use-" + "".join("%02x" % int(p) for p in address.split(".")) + "-gw"


def build(n, n_subs, n_groups):
    subs = []
    for s in range(n_subs):
        subs.append({"id": sub_id(s), "displayName": "spokes-%02d" % s, "tenant": TENANT,
                     "resourceGroups": [{"name": "rg-spokes-%02d-%d" % (s, g), "location": "eastus",
                                         "routeTables": [], "virtualNetworks": [],
                                         "virtualNetworkGateways": []}
                                        for g in range(n_groups)]})
    hub_rg = {"name": "rg-hub", "location": "eastus",
              "virtualNetworks": [{"name": "hub-vnet", "addressPrefixes": ["10.250.0.0/16"],
                                   "subnets": [{"name": "GatewaySubnet",
                                                "addressPrefix": "10.250.255.0/27"},
                                               {"name": "nva", "addressPrefix": "10.250.1.0/24"}],
                                   "virtualNetworkPeerings": []}],
              "virtualNetworkGateways": [{"name": "hub-vpngw", "gatewayType": "Vpn",
                                          "vpnType": "RouteBased",
                                          "sku": {"name": "VpnGw1", "tier": "VpnGw1"},
                                          "virtualNetwork": "hub-vnet"}]}
    transit_rg = {"name": "rg-transit", "location": "eastus",
                  "virtualNetworks": [{"name": "transit-vnet", "addressPrefixes": ["10.251.0.0/23"],
                                       "subnets": [{"name": "tlvx-transit-subnet",
                                                    "addressPrefix": "10.251.0.0/26"}]}]}
    hub_peerings = hub_rg["virtualNetworks"][0]["virtualNetworkPeerings"]
    hub_vnet_id = vnet_id(HUB_SUB, "rg-hub", "hub-vnet")
    locks = [{"scope": vnet_id(HUB_SUB, "rg-transit", "transit-vnet"),
              "name": "transit-no-delete", "level": "CanNotDelete"}]
    gateways = [
        {"gw_name": "azu-use-transit-gw", "gw_type": "transit", "account_name": HUB_ALIAS,
         "vpc_id": "transit-vnet:rg-transit", "vpc_cidrs": ["10.251.0.0/23"]},
        {"gw_name": "azu-usw2-transit-gw", "gw_type": "transit", "account_name": HUB_ALIAS,
         "vpc_id": "transit-west-vnet:rg-transit-west", "vpc_cidrs": ["10.252.0.0/23"]},
    ]
    account_vnets = {s: [] for s in range(n_subs)}
    tf_files = {}

    for i in range(n):
        s = i % n_subs
        g = (i // n_subs) % n_groups
        sub = sub_id(s)
        rg = subs[s]["resourceGroups"][g]
        name = "spoke-%04d" % i
        space = vnet_space(i)
        base = int(space.network_address)
        net = lambda off, plen: str(ipaddress.ip_network((base + off, plen)))
        tlvx = net(15 * 256, 26)
        original = "rt-%s" % name
        has_vpn = i % 10 == 3
        has_er = i % 10 == 7
        use_remote = (i % 3 == 1) and not (has_vpn or has_er)

        rg["routeTables"] += [
            {"name": original, "routes": DEFAULT_ROUTE},
            {"name": original + "-staged", "tags": {"vnet": name, "Org_RT": "org_" + original},
             "disableBgpRoutePropagation": True, "routes": DEFAULT_ROUTE},
            {"name": name + "-main-1", "tags": {"vnet": name}, "disableBgpRoutePropagation": True},
            {"name": name + "-main-2", "tags": {"vnet": name}, "disableBgpRoutePropagation": True},
        ]
        subnets = [
            {"name": "app", "addressPrefix": net(0, 24), "routeTable": original},
            {"name": "web", "addressPrefix": net(256, 24), "routeTable": original},
            {"name": "data", "addressPrefix": net(512, 24)},
            {"name": "tlvx-spoke-gw-subnet", "addressPrefix": tlvx},
        ]
        if has_vpn or has_er:
            subnets.append({"name": "GatewaySubnet", "addressPrefix": net(14 * 256, 27)})
        rg["virtualNetworks"].append({
            "name": name, "addressPrefixes": [str(space)], "subnets": subnets,
            "virtualNetworkPeerings": [{"name": name + "-to-hub", "remoteVirtualNetwork": hub_vnet_id,
                                        "allowForwardedTraffic": True,
                                        "useRemoteGateways": use_remote}]})
        hub_peerings.append({"name": "hub-to-" + name,
                             "remoteVirtualNetwork": vnet_id(sub, rg["name"], name),
                             "allowForwardedTraffic": True, "allowGatewayTransit": True})
        if has_vpn:
            rg["virtualNetworkGateways"].append({
                "name": name + "-vpngw", "gatewayType": "Vpn", "vpnType": "RouteBased",
                "sku": {"name": "VpnGw1", "tier": "VpnGw1"}, "virtualNetwork": name})
        if has_er:
            rg["virtualNetworkGateways"].append({
                "name": name + "-ergw", "gatewayType": "ExpressRoute",
                "sku": {"name": "Standard", "tier": "Standard"}, "virtualNetwork": name})
        if i % 5 == 0:
            locks.append({"scope": vnet_id(sub, rg["name"], name), "name": name + "-no-delete",
                          "level": "CanNotDelete"})
        gateways.append({"gw_name": gw_name_for(tlvx), "gw_type": "spoke",
                         "account_name": "spokes-%02d" % s, "vpc_id": "%s:%s" % (name, rg["name"]),
                         "vpc_cidrs": [str(space)]})
        account_vnets[s].append((name, tlvx))
        alias = "spokes-%02d" % s
        tf_files[(alias, name)] = (
            "# Generated by the staging step for VNet %s.\n"
            "resource \"azurerm_virtual_network\" \"%s\" {\n"
            "  provider      = azurerm.%s\n"
            "  name          = \"%s\"\n"
            "  address_space = [\"%s\"]\n"
            "}\n\n"
            "module \"%s\" {\n"
            "  source         = \"./modules/telvane-managed\"\n"
            "  vnet_name      = \"%s\"\n"
            "  switch_traffic = false\n"
            "}\n" % (name, name, alias.replace("-", "_"), name, space, name, name))

    subs.append({"id": HUB_SUB, "displayName": HUB_ALIAS, "tenant": TENANT,
                 "resourceGroups": [hub_rg, transit_rg]})
    accounts = [{"account_name": "spokes-%02d" % s, "arm_subscription_id": sub_id(s),
                 "arm_ad_client_id": CLIENT, "arm_ad_tenant_id": TENANT} for s in range(n_subs)]
    accounts.append({"account_name": HUB_ALIAS, "arm_subscription_id": HUB_SUB,
                     "arm_ad_client_id": CLIENT, "arm_ad_tenant_id": TENANT})
    topology = {
        "service_principals": [{"tenant": TENANT, "client_id": CLIENT, "client_secret": SECRET,
                                "subscriptions": "*"}],
        "subscriptions": subs,
        "locks": locks,
        "controller": {
            "users": [{"username": "admin", "password": CTRL_PASSWORD}],
            "accounts": accounts,
            "gateways": gateways,
            "attachments": [],
            "transit_peerings": [{"transit_gw_name1": "azu-use-transit-gw",
                                  "transit_gw_name2": "azu-usw2-transit-gw"}],
            "security_domains": [{"domain_name": "prod", "attachments": []}],
        },
    }

    y = ["# Generated discovery document for the benchmark; run_bench.sh fills the @...@ values.",
         "document_type: AZURE", "", "log:", "  folder: @WORK@/logs", "",
         "terraform:", "  output_folder: @WORK@/output", "",
         "azure:", "  cloud: custom", "  authority_host: @BASE_URL@",
         "  resource_manager: @BASE_URL@",
         "  token_scope: https://management.azure.com/.default", "  ca_bundle: @CA_FILE@",
         "  tenant_id: " + TENANT, "  client_id: " + CLIENT,
         "  client_secret_env: DM_AZURE_CLIENT_SECRET", "", "subscriptions:"]
    for s in range(n_subs):
        y += ["  - subscription_id: " + sub_id(s), "    alias: spokes-%02d" % s]
    y += ["  - subscription_id: " + HUB_SUB, "    alias: " + HUB_ALIAS, "",
          "allow_vnet_cidrs:", "  - 10.0.0.0/8", "",
          "telvane:", "  controller_ip: @CONTROLLER@", "  private_ip: 10.255.0.4",
          "  ca_bundle: @CA_FILE@", "  user: admin", "  password_env: DM_CTRL_PASSWORD", "",
          "switch_traffic:", "  delete_peering: all", "  manage_terraform_import: false",
          "  delete_vnet_lock: true", "  manage_propagate_gateway_routes: true",
          "  transit_peering:", "    azu-use-transit-gw: azu-usw2-transit-gw", "",
          "account_info:"]
    for s in range(n_subs):
        y += ["  - subscription_id: " + sub_id(s), "    vwan: null", "    hpe: false",
              "    max_hpe_performance: null", "    vnets:"]
        for name, tlvx in account_vnets[s]:
            y += ["      - vnet_name: " + name, "        tlvx_cidr: " + tlvx]
    return topology, "\n".join(y) + "\n", tf_files


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("n", type=int, help="number of spoke VNets")
    parser.add_argument("out_dir")
    parser.add_argument("--subscriptions", type=int, default=4)
    parser.add_argument("--groups", type=int, default=2, help="resource groups per subscription")
    args = parser.parse_args()
    if not 1 <= args.n <= 4000:
        parser.error("N must be between 1 and 4000")
    topology, yaml_text, tf_files = build(args.n, max(1, args.subscriptions), max(1, args.groups))
    os.makedirs(args.out_dir, exist_ok=True)
    with open(os.path.join(args.out_dir, "topology.json"), "w") as f:
        json.dump(topology, f, indent=1)
    with open(os.path.join(args.out_dir, "discovery.yaml.in"), "w") as f:
        f.write(yaml_text)
    for (alias, name), text in tf_files.items():
        folder = os.path.join(args.out_dir, "terraform", alias)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name + ".tf"), "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
