module "spoke1" {
	switch_traffic	=	false // set by the switch
}