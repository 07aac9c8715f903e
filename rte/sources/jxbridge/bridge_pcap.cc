// Frame capture for the pcap readers of a bridge.
#include "jxbridge.h"

void jxbridge_pcap_frame(struct jxbridge *, struct sk_buff *) {}

extern const struct jxbridge_subsys pcap_subsys = {
    .tag = "PCAP",
    .files = {{"pcap", 0600}},
};
