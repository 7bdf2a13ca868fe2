/* switch_traffic = true
   in a block comment */
resource "azurerm_virtual_network" "spoke1" {
  name = "spoke1 { not a block"  # switch_traffic = true
}

module   "spoke1"
{
  source = "./modules/telvane-managed"
  nested { a = "}" }
  // switch_traffic = true
}
