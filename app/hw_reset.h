// Modem reset and power control through the store's request leaves, acted on by an outside
// service that sets each request leaf back to false once done.
#pragma once

// Resets the fitted modem: the analog reset pin, or a power-off then power-on of the cellular
// modem. Returns 0 when the analog request was not acknowledged, 1 in every other case.
int RequestHwReset();

// on == 1 asks for power on, any other value for power off. Requests are spaced at least 10 s
// apart. Returns 1 when the request leaf read false again within the confirmation poll, else 0.
int SetCellModemPower(int on);
// Tests only: forgets the time of the last power request.
void ForgetLastPowerRequest();
