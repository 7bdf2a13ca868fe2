# The staged route tables of one VNet, as the staging step declares them: a copy of each
# original table (keyed by the copy's name) and the two main tables for subnets that had none.
# The switch's association file refers to them through the two outputs below.
terraform {
  required_providers {
    azurerm = {
      source = "hashicorp/azurerm"
    }
  }
}

variable "vnet_name" {
  type = string
}

variable "resource_group_name" {
  type = string
}

variable "location" {
  type = string
}

variable "route_tables" {
  description = "names of the staged copies of the VNet's route tables"
  type        = set(string)
}

variable "switch_traffic" {
  description = "whether the VNet's subnets use the staged tables (set by the switch)"
  type        = bool
  default     = false
}

resource "azurerm_route_table" "telvane_managed" {
  for_each            = var.route_tables
  name                = each.key
  resource_group_name = var.resource_group_name
  location            = var.location
  tags = {
    vnet = var.vnet_name
  }
}

resource "azurerm_route_table" "telvane_managed_main" {
  count               = 2
  name                = "${var.vnet_name}-main-${count.index + 1}"
  resource_group_name = var.resource_group_name
  location            = var.location
  tags = {
    vnet = var.vnet_name
  }
}

output "azurerm_route_table_telvane_managed" {
  value = azurerm_route_table.telvane_managed
}

output "azurerm_route_table_telvane_managed_main" {
  value = azurerm_route_table.telvane_managed_main
}
