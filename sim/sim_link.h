// One simulated serial line: a pseudo-terminal pair whose slave the program under test opens
// through a symbolic link (such as "com8"), with a byte queue in each direction that lets a byte
// go only when it would have crossed a line of the set rate. The caller runs the clock (seconds,
// never going backwards) and the poll loop; nothing here blocks.
//
// The simulator holds only the master, so that the program is the slave's one opener, as with a
// real port. While no slave is open the master reports a hang-up and reads fail with EIO; what is
// written to it meanwhile waits in the slave's input, and the line mode set on the slave stays.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct SimLinkByte {
    std::uint8_t value = 0;
    double due = 0.0; // when the byte has fully crossed the line
};

struct SimLink {
    std::string link_path;
    std::string slave_path;
    // A symbolic link that stood at link_path before, put back at close.
    std::optional<std::string> previous_target;
    int master_fd = -1;
    bool raw = false; // the slave is put in raw mode whenever the line is (re)made
    // Set before the line is opened: whenever it is (re)made, the slave is left with XON/XOFF both
    // ways, bytes stripped to 7 bits and CR/LF translated, as an earlier program may leave a port.
    bool translating = false;
    bool idle = false;      // no slave is open: the master cannot be polled without spinning
    double byte_time = 0.0; // seconds per byte on the line; 0 sends at once
    double latency = 0.0;   // seconds from a request to the first byte of its answer
    // A USB adapter's latency tick in seconds: the bytes toward the program reach the port only
    // at whole multiples of it on the simulator's clock, wherever the frames fall. 0: as they
    // cross the line.
    double tick = 0.0;
    std::deque<SimLinkByte> outgoing;
    double outgoing_free = 0.0; // when the line toward the program is idle again
    std::deque<SimLinkByte> incoming;
    double incoming_free = 0.0;
    bool write_blocked = false; // the slave's input is full: wait until the master takes more
};

// Opens a pseudo-terminal pair, sets its slave up and closes it again (idle), and links link_path
// to the slave (a symbolic link already there is replaced, and put back at close unless it led to
// a pseudo-terminal; anything else is an error). raw puts the slave in raw mode; otherwise it keeps
// the line mode a new terminal has.
bool sim_link_open(SimLink& link, const std::string& link_path, bool raw, std::string& error);

// The process, other than this one, that serves the pseudo-terminal a symbolic link at
// link_path leads to, by holding its master, when that process runs the program named `program`;
// nothing when the link leads elsewhere or nobody such serves it (or the system does not tell
// which terminal a master belongs to).
std::optional<long> sim_link_served_by(const std::string& link_path, const std::string& program);

// Drops the line: closes the master, so that the program sees a hang-up, removes the link and
// forgets what was queued.
void sim_link_hang_up(SimLink& link);

// As sim_link_hang_up; also puts back a link that was replaced.
void sim_link_close(SimLink& link);

bool sim_link_is_open(const SimLink& link);

// Whether the slave, with nobody holding it, is still in the exclusive mode a program set: one
// that was killed before it could clear it. The mode lasts as long as the master, and turns every
// later open away (but root's). Opens and closes the slave read-only for a moment to look;
// looked tells whether it did.
bool sim_link_left_exclusive(const SimLink& link, bool& looked);

// Puts a fresh pseudo-terminal, set up as at the start, in place of the line's and moves the
// link to it; what was queued is forgotten. `prepare` is given the new slave's path before the
// link moves, so that whatever must see the program's first open of it (a watch) is in place by
// then; when it fails, nothing moves. On failure the old line stays.
bool sim_link_replace(SimLink& link, const std::function<bool(const std::string&)>& prepare,
                      std::string& error);

// Queues bytes toward the program: the first leaves after the latency, or after the bytes
// queued before it, and then gap seconds more; each later one a byte time after the one before.
// With a tick, each byte is handed over at the first tick after it has crossed the line.
void sim_link_send(SimLink& link, std::span<const std::uint8_t> bytes, double now, double gap);

// Reads everything the program has written and queues each byte with the time it would have
// finished crossing the line.
void sim_link_receive(SimLink& link, double now);

// Lets every received byte arrive by now: the program closed the line, and a port's close waits
// until what was written to it has gone out.
void sim_link_arrive_now(SimLink& link, double now);

// Takes the received bytes whose time has come.
std::vector<std::uint8_t> sim_link_take_arrived(SimLink& link, double now);

// Writes the queued bytes whose time has come, as far as the slave takes them.
void sim_link_transmit(SimLink& link, double now);

// The earliest time at which a queued byte is due, if any (outgoing bytes only while the slave
// takes more).
std::optional<double> sim_link_next_due(const SimLink& link);
