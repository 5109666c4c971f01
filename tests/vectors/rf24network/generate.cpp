// Test vectors for the RF24Network module, sent by the RF24 libraries' own code:
// RF24Network and RF24Mesh compiled natively against the stand-in radio in stub/,
// a few nodes on a simulated air. Each node runs the library as a sketch would;
// whatever the libraries transmit is written out with the address it went to.
//
// Output (standard output): for every transmission a comment with the library's
// own header text (RF24NetworkHeader::toString) and one line
//   addr=<on-air address> payload=<hex> acked=<0|1> hop=<node> pipe=<n> sender=<node>
// where hop and pipe are what the library passed to pipe_address() (the address
// looked up in the library's own table), acked says whether the receiving pipe
// auto-acknowledges; for every message a node's application read
//   received node=<node> from=<node> to=<node> id=<n> type=<n> message=<hex>
// and a step line before each step. Built and run by generate.sh.
#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <queue>
#include <string>
#include <vector>

#include <RF24/RF24.h>

// The address translation is private to the network class: the generator reads it.
#define private public
#define protected public
#include "RF24Network.cpp"
#include "RF24Mesh.cpp"
#undef private
#undef protected

namespace {

struct Node {
    const char *name;
    uint8_t id;
    RF24 radio;
    RF24Network network{radio};
    RF24Mesh mesh{radio, network};
    bool busy = false;
    uint16_t next_id = 1;
    uint8_t pid = 0;
};

std::vector<Node *> nodes;
uint32_t now_ms;
std::map<std::string, std::pair<std::string, uint8_t>> address_owner;

std::string hex(const void *data, size_t len)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < len; i++) {
        uint8_t byte = ((const uint8_t *)data)[i];
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

std::string octal(uint16_t node)
{
    char text[8];
    snprintf(text, sizeof text, "0%o", node);
    return text;
}

// The radio writes address bytes least significant first; the air carries them the other way round.
std::string on_air(const uint8_t *address)
{
    uint8_t reversed[5];
    for (int i = 0; i < 5; i++)
        reversed[i] = address[4 - i];
    return hex(reversed, 5);
}

// Every pipe address the library derives, for every valid logical address; pipe 0
// of a node below the master is shared by its whole level (the multicast address).
void build_address_table(RF24Network &network)
{
    for (uint32_t node = 0; node < 010000; node++) {
        if (!network.is_valid_address((uint16_t)node) || node == NETWORK_MULTICAST_ADDRESS || node == 010 ||
            node == 01000)
            continue;
        for (uint8_t pipe = 0; pipe < NUM_PIPES; pipe++) {
            uint8_t address[5];
            network.pipe_address((uint16_t)node, pipe, address);
            std::string owner = octal((uint16_t)node);
            if (pipe == 0 && node != 0)
                owner = "level" + std::to_string(owner.size() - 1);
            address_owner.emplace(on_air(address), std::make_pair(owner, pipe));
        }
    }
}

Node *node_of(const RF24 *radio)
{
    for (Node *node : nodes)
        if (&node->radio == radio)
            return node;
    return NULL;
}

// What a node's loop() does with the radio: the mesh's update, DHCP on the master,
// and the application reading every message the network queued.
void service(Node *node)
{
    node->busy = true;
    node->mesh.update();
    if (node->id == 0)
        node->mesh.DHCP();
    while (node->network.available() || !node->network.external_queue.empty()) {
        RF24NetworkFrame frame = node->network.available() ? node->network.frame_queue.front()
                                                           : node->network.external_queue.front();
        if (node->network.available())
            node->network.frame_queue.pop();
        else
            node->network.external_queue.pop();
        printf("received node=%s from=%s to=%s id=%u type=%u message=%s\n", octal(node->mesh.mesh_address).c_str(),
               octal(frame.header.from_node).c_str(), octal(frame.header.to_node).c_str(), frame.header.id,
               frame.header.type, hex(frame.message_buffer, frame.message_size).c_str());
    }
    node->busy = false;
}

void pump()
{
    for (Node *node : nodes)
        if (!node->busy && node->radio.available())
            service(node);
}

// One step of the scenario, run by one node: its own header ids, the others serviced meanwhile.
template<class Step>
void run(Node *node, const char *what, Step step)
{
    printf("step %s\n", what);
    RF24NetworkHeader::next_id = node->next_id;
    node->busy = true;
    step(node);
    node->busy = false;
    node->next_id = RF24NetworkHeader::next_id;
    for (int i = 0; i < 50; i++)
        pump();
}

// An IPv4 packet as RF24Gateway reads it from its TUN interface: header, TCP segment, checksums.
uint16_t checksum(const std::vector<uint8_t> &data, uint32_t sum = 0)
{
    for (size_t i = 0; i < data.size(); i += 2)
        sum += (uint32_t)(data[i] << 8 | (i + 1 < data.size() ? data[i + 1] : 0));
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint16_t)~sum;
}

std::vector<uint8_t> tcp_packet(uint8_t src, uint8_t dst, uint16_t sport, uint16_t dport, uint32_t seq, uint32_t ack,
                                uint8_t flags, const std::string &data, bool mss = false)
{
    static uint16_t ip_id = 0x1000;
    std::vector<uint8_t> tcp = { (uint8_t)(sport >> 8), (uint8_t)sport, (uint8_t)(dport >> 8), (uint8_t)dport,
                                 (uint8_t)(seq >> 24), (uint8_t)(seq >> 16), (uint8_t)(seq >> 8), (uint8_t)seq,
                                 (uint8_t)(ack >> 24), (uint8_t)(ack >> 16), (uint8_t)(ack >> 8), (uint8_t)ack,
                                 (uint8_t)((mss ? 6 : 5) << 4), flags, 0x01, 0x40, 0, 0, 0, 0 };
    if (mss)
        tcp.insert(tcp.end(), { 2, 4, 0x01, 0x40 });
    tcp.insert(tcp.end(), data.begin(), data.end());
    std::vector<uint8_t> pseudo = { 10, 10, 2, src, 10, 10, 2, dst, 0, 6, (uint8_t)(tcp.size() >> 8),
                                    (uint8_t)tcp.size() };
    pseudo.insert(pseudo.end(), tcp.begin(), tcp.end());
    uint16_t tcp_sum = checksum(pseudo);
    tcp[16] = (uint8_t)(tcp_sum >> 8);
    tcp[17] = (uint8_t)tcp_sum;
    uint16_t total = (uint16_t)(20 + tcp.size());
    ip_id++;
    std::vector<uint8_t> ip = { 0x45, 0, (uint8_t)(total >> 8), (uint8_t)total, (uint8_t)(ip_id >> 8), (uint8_t)ip_id,
                                0x40, 0, 64, 6, 0, 0, 10, 10, 2, src, 10, 10, 2, dst };
    uint16_t ip_sum = checksum(ip);
    ip[10] = (uint8_t)(ip_sum >> 8);
    ip[11] = (uint8_t)ip_sum;
    ip.insert(ip.end(), tcp.begin(), tcp.end());
    return ip;
}

bool send(Node *node, uint16_t to, uint8_t type, const std::vector<uint8_t> &message)
{
    RF24NetworkHeader header(to, type);
    return node->network.write(header, message.data(), (uint16_t)message.size());
}

std::vector<uint8_t> bytes(const std::string &text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace

// The virtual clock: every reading lets the idle nodes take what the air brought them.
uint32_t millis(void)
{
    ++now_ms;
    pump();
    return now_ms;
}

void delay(uint32_t ms)
{
    for (uint32_t i = 0; i < ms; i++)
        millis();
}

void delayMicroseconds(uint32_t) {}

bool RF24::writeFast(const void *buf, uint8_t len, const bool)
{
    Node *sender = node_of(this);
    std::string address = on_air(tx_address);
    auto owner = address_owner.find(address);
    RF24NetworkHeader header;
    memcpy(&header, buf, sizeof header);
    printf("# %s\n", header.toString());
    printf("addr=%s payload=%s acked=%d hop=%s pipe=%u sender=%s\n", address.c_str(), hex(buf, len).c_str(),
           pipe0_auto_ack ? 1 : 0, owner == address_owner.end() ? "?" : owner->second.first.c_str(),
           owner == address_owner.end() ? 9u : owner->second.second, octal(sender->network.node_address).c_str());
    for (Node *node : nodes)
        if (node != sender && node->radio.listens_on(tx_address))
            node->radio.rx.emplace_back((const uint8_t *)buf, (const uint8_t *)buf + len);
    return true;
}

int main()
{
    Node master{ "master", 0 }, node1{ "node 1", 1 }, node2{ "node 2", 2 }, node3{ "node 3", 3 };
    nodes = { &master, &node1, &node2, &node3 };
    build_address_table(master.network);
    // A mesh master (RF24Gateway's role, IP 10.10.2.2 on node 00) and three nodes joining it.
    master.mesh.setNodeID(0);
    master.mesh.begin();
    run(&node1, "mesh: node 1 joins", [](Node *n) { n->mesh.setNodeID(1); n->mesh.begin(); });
    run(&node2, "mesh: node 2 joins", [](Node *n) { n->mesh.setNodeID(2); n->mesh.begin(); });
    // The master takes no more children: node 3 joins one level further down, through a level-1 node.
    master.mesh.setChild(false);
    run(&node3, "mesh: node 3 joins at level 2", [](Node *n) { n->mesh.setNodeID(3); n->mesh.begin(); });
    master.mesh.setChild(true);
    uint16_t a3 = node3.mesh.mesh_address, a2 = node2.mesh.mesh_address, a1 = node1.mesh.mesh_address;

    run(&node3, "user type 65 routed to the master, network ack", [](Node *n) { send(n, 0, 65, bytes("hello")); });
    run(&node3, "user type 1 routed to the master, no network ack", [](Node *n) { send(n, 0, 1, { 1, 2, 3, 4 }); });
    run(&node1, "user type 127 straight to the master", [](Node *n) { send(n, 0, 127, bytes("level 1")); });
    run(&master, "user type 66 routed down to node 3",
        [a3](Node *n) { send(n, a3, 66, { 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80 }); });
    run(&node3, "fragmented: 100 bytes of type 77 routed to the master", [](Node *n) {
        std::vector<uint8_t> message(100);
        for (size_t i = 0; i < message.size(); i++)
            message[i] = (uint8_t)i;
        send(n, 0, 77, message);
    });
    run(&node2, "fragmented: the largest message, 1514 bytes of type 2", [](Node *n) {
        std::vector<uint8_t> message(MAX_PAYLOAD_SIZE);
        for (size_t i = 0; i < message.size(); i++)
            message[i] = (uint8_t)(i * 7 + 3);
        send(n, 0, 2, message);
    });
    run(&node2, "mesh: address lookup of node 3", [](Node *n) { n->mesh.getAddress(3); });
    run(&node2, "mesh: node id lookup of node 3's address", [a3](Node *n) { n->mesh.getNodeID(a3); });
    run(&node3, "ping to the parent (checkConnection)", [](Node *n) { n->mesh.checkConnection(); });
    run(&master, "multicast of user type 3 to level 1", [](Node *n) {
        RF24NetworkHeader header(0, 3);
        n->network.multicast(header, "all", 3, 1);
    });
    // A TCP exchange between the gateway (10.10.2.2) and node 3 (10.10.2.3), as RF24Gateway and
    // RF24Ethernet send IP packets: external data to the node's address, or to the master.
    const uint32_t iss_gw = 1000, iss_node = 5000;
    const std::string request = "GET / HTTP/1.0\r\n\r\n", response = "HTTP/1.0 200 OK\r\n\r\nhello from node 3";
    run(&master, "IP: TCP SYN from the gateway to node 3", [a3, iss_gw](Node *n) {
        send(n, a3, EXTERNAL_DATA_TYPE, tcp_packet(2, 3, 40000, 80, iss_gw, 0, 0x02, "", true));
    });
    run(&node3, "IP: TCP SYN-ACK from node 3", [iss_gw, iss_node](Node *n) {
        send(n, 0, EXTERNAL_DATA_TYPE, tcp_packet(3, 2, 80, 40000, iss_node, iss_gw + 1, 0x12, "", true));
    });
    run(&master, "IP: HTTP request", [a3, iss_gw, iss_node, request](Node *n) {
        send(n, a3, EXTERNAL_DATA_TYPE, tcp_packet(2, 3, 40000, 80, iss_gw + 1, iss_node + 1, 0x18, request));
    });
    run(&node3, "IP: HTTP response", [iss_gw, iss_node, request, response](Node *n) {
        send(n, 0, EXTERNAL_DATA_TYPE,
             tcp_packet(3, 2, 80, 40000, iss_node + 1, iss_gw + 1 + (uint32_t)request.size(), 0x19, response));
    });
    run(&master, "IP: ACK and FIN from the gateway", [a3, iss_gw, iss_node, request, response](Node *n) {
        send(n, a3, EXTERNAL_DATA_TYPE,
             tcp_packet(2, 3, 40000, 80, iss_gw + 1 + (uint32_t)request.size(),
                        iss_node + 2 + (uint32_t)response.size(), 0x11, ""));
    });
    run(&node2, "mesh: node 2 releases its address", [](Node *n) { n->mesh.releaseAddress(); });
    printf("addresses node1=%s node2=%s node3=%s\n", octal(a1).c_str(), octal(a2).c_str(), octal(a3).c_str());
    return 0;
}
