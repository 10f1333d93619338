// Writers of single typed leaves, and the read of the ppp1 link address.
#pragma once

#include <string>

// Writes a bool leaf; the outcome is not examined. Returns 1.
int WriteBoolLeaf(bool state, std::string path);
// Writes an int leaf; prints "\nWriteIntLeaf: Failed to write %d to %s\n" when the write did not
// go through. Returns 1.
int WriteIntLeaf(int number, std::string path);
// Publishes a text leaf (kind 6); the outcome is not examined.
void WriteTextLeaf(const std::string& text, const std::string& path);
// Reads the ppp1 address leaf into ppp1IpAddr (kept as it was on failure) and returns that text
// as an IPv4 address, first octet in the most significant byte; 0 when it is no valid address.
int ReadPPP1IpAddrFromCds();
// Reads the ppp1 address as above and writes it to the published IPAddr leaf, but only when the
// read succeeded: the leaf then keeps what it holds, which is either what this process last
// published (the same address the old text would give) or the link's own address, published by
// the ip-up hook since, which the old text would overwrite.
void PublishPPP1IpAddr();
