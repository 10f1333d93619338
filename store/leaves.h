// Every store leaf that linkwarden reads or writes. The odd pairs are deliberate and both are used
// as written: "AnalogModemConfigured" and "AnalogModem/Configured" are two different leaves, and
// "CellVerison" is a second, misspelt name for the Verizon option that some devices carry.
#pragma once

#include "cds.h"

// The status word of one leaf that was read or written. The store client names its status values
// in its own header; linkwarden and its `cds` tool rely on this one value only, so they say it
// themselves.
const api_status_t LEAF_DONE = static_cast<api_status_t>(1);

// Read
#define LEAF_ANALOG_RINGS_TO_ANSWER "/U6C/Comms/AnalogModem/Answer/NormRingsToAnswer/Value"
#define LEAF_ANALOG_BAUD_RATE "/U6C/Comms/AnalogModem/Modem/BaudRate/Value"
#define LEAF_CELL_BAUD_RATE "/U6C/Comms/CellModem/Modem/BaudRate/Value"
#define LEAF_REFRESH_INTERVAL "/U6C/Comms/CellModem/Settings/RefreshInterval/Value"
#define LEAF_AUTO_PING_INTERVAL "/U6C/Comms/CellModem/Settings/AutoPingInterval/Value"
#define LEAF_AUTO_PING_RETRIES "/U6C/Comms/CellModem/Settings/AutoPingRetries/Value"
#define LEAF_AUTO_PING_TIMEOUT "/U6C/Comms/CellModem/Settings/AutoPingTimeout/Value"
#define LEAF_AUTO_PING_IP "/U6C/Comms/CellModem/Settings/AutoPingIp/Value"
#define LEAF_PPP1_IP_ADDRESS "/U6C/Comms/EthPort/3/General/IPAddress/Value"
#define LEAF_OPTION_ANALOG "/U6IC/Options/Modem/Analog/Value"
#define LEAF_OPTION_CELL_GSM "/U6IC/Options/Modem/CellGSM/Value"
#define LEAF_OPTION_CELL_SPRINT "/U6IC/Options/Modem/CellSprint/Value"
#define LEAF_OPTION_CELL_VERIZON "/U6IC/Options/Modem/CellVerizon/Value"
#define LEAF_OPTION_CELL_VERISON "/U6IC/Options/Modem/CellVerison/Value"

// Written
#define LEAF_ANALOG_CONFIGURED "/U6F/AnalogModem/Configured/Value"
#define LEAF_ANALOG_MODEM_CONFIGURED "/U6F/AnalogModemConfigured/Value"
#define LEAF_CELL_CONFIGURED "/U6IC/Comms/CellularModem/Configured/Value"
#define LEAF_CELL_IMEI "/U6IC/Comms/CellularModem/IMEI/Value"
#define LEAF_CELL_CCID "/U6IC/Comms/CellularModem/CCID/Value"
#define LEAF_CELL_IP_ADDR "/U6IC/Comms/CellularModem/IPAddr/Value"
#define LEAF_CELL_MODEM_TYPE "/U6R/Comms/CellularModem/ModemType/Value"
#define LEAF_CELL_VERSION "/U6R/Comms/CellularModem/Version/Value"
#define LEAF_CELL_FACTORY_CONFIG_VERSION "/U6R/Comms/CellularModem/FactoryConfigVersion/Value"
#define LEAF_CELL_SIGNAL_STRENGTH "/U6R/Comms/CellularModem/SignalStrength/Value"
#define LEAF_CELL_DB_LEVEL "/U6R/Comms/CellularModem/DbLevel/Value"

// Requests to the outside power service: written true, then read until it sets them false.
#define LEAF_RESET_ANALOG_MODEM "/U6F/UpdateRegister/ResetAnalogModem/Value"
#define LEAF_CELL_MODEM_ON "/U6F/UpdateService/CellModemOn/Value"
#define LEAF_CELL_MODEM_OFF "/U6F/UpdateService/CellModemOff/Value"
