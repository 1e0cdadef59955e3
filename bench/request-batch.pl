#!/usr/bin/perl
# Sends framed requests to a manager on 127.0.0.1, one connection each, and reads every reply to
# the end. Used by the daemon benchmarks in this directory.
#
#   request-batch.pl alternate BATCH PAIRS BODY PID:TID:PORT PID:TID:PORT
#       sends BODY in batches of BATCH requests to the two daemons in turn, PAIRS times, the
#       first of each pair alternating, and prints one line per pair: the CPU time thread TID
#       of each daemon spent per request in its batch, in nanoseconds, in the order given
#   request-batch.pl busiest PID PORT COUNT BODY
#       sends BODY COUNT times and prints the thread of PID that spent the most CPU time meanwhile
#   request-batch.pl send PORT FILE
#       sends the body held in FILE once and prints the reply text
#
# Every reply must be framed; one that is not ends the program with status 1. The CPU time is
# the scheduler's run time of the thread (schedstat, in nanoseconds) where the kernel keeps it,
# otherwise utime + stime from its stat line (clock ticks).
use strict;
use warnings;
use IO::Socket::INET;
use POSIX ();

my $ticks = POSIX::sysconf(POSIX::_SC_CLK_TCK()) || 100;

sub thread_cpu_ns {
    my ($pid, $tid) = @_;
    my $dir = "/proc/$pid/task/$tid";
    if (open(my $sched, '<', "$dir/schedstat")) {
        my $line = <$sched>;
        return $1 if defined $line && $line =~ /^(\d+)/;
    }
    open(my $stat, '<', "$dir/stat") or die "cannot read $dir/stat: $!\n";
    my $line = <$stat>;
    # The command name is in parentheses and may hold anything; the fields follow the last ')'.
    $line =~ s/^.*\)\s*//s;
    my @fields = split ' ', $line;
    # utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return ($fields[11] + $fields[12]) * 1e9 / $ticks;
}

sub threads_of {
    my ($pid) = @_;
    opendir(my $tasks, "/proc/$pid/task") or die "no process $pid\n";
    my @tids = grep { /^\d+$/ } readdir $tasks;
    return @tids;
}

sub framed {
    my ($body) = @_;
    # Magic, version 1, the body length as 64-bit little-endian, the body, one zero byte.
    return "QMCP" . pack('C', 1) . pack('V', length($body) & 0xffffffff) .
           pack('V', int(length($body) / 4294967296)) . $body . "\0";
}

sub exchange {
    my ($port, $message) = @_;
    my $socket = IO::Socket::INET->new(PeerAddr => '127.0.0.1', PeerPort => $port,
                                       Proto => 'tcp', Timeout => 60)
        or die "cannot connect to port $port: $!\n";
    my $offset = 0;
    while ($offset < length $message) {
        my $sent = syswrite($socket, $message, length($message) - $offset, $offset);
        die "send failed: $!\n" unless defined $sent;
        $offset += $sent;
    }
    my $reply = '';
    while (1) {
        my $got = sysread($socket, $reply, 1 << 20, length $reply);
        die "receive failed: $!\n" unless defined $got;
        last if $got == 0;
    }
    close $socket;
    die "not a framed reply (" . length($reply) . " bytes)\n"
        unless length($reply) > 13 && substr($reply, 0, 4) eq 'QMCP';
    return substr($reply, 13, length($reply) - 14);
}

sub batch {
    my ($port, $count, $body) = @_;
    my $message = framed($body);
    exchange($port, $message) for 1 .. $count;
}

# A batch's cost is read from one start of a batch of the same daemon to the next, so that what
# the thread does after its last reply (closing, logging, its pause) counts too.
sub alternate {
    my ($count, $pairs, $body, @daemons) = @_;
    my @targets = map { [split /:/] } @daemons;
    my @start = map { thread_cpu_ns($_->[0], $_->[1]) } @targets;
    my @spent;
    for my $pair (0 .. $pairs - 1) {
        my @order = $pair % 2 ? reverse(0 .. $#targets) : (0 .. $#targets);
        for my $which (@order) {
            my ($pid, $tid, $port) = @{$targets[$which]};
            my $now = thread_cpu_ns($pid, $tid);
            $spent[$pair - 1][$which] = $now - $start[$which] if $pair > 0;
            $start[$which] = $now;
            batch($port, $count, $body);
        }
    }
    # The last batches end once their threads have finished their requests.
    select(undef, undef, undef, 0.05);
    $spent[$pairs - 1][$_] = thread_cpu_ns(@{$targets[$_]}[0, 1]) - $start[$_] for 0 .. $#targets;
    printf "%s\n", join(' ', map { sprintf '%.0f', $_ / $count } @$_) for @spent;
}

my $mode = shift // '';
if ($mode eq 'alternate') {
    alternate(@ARGV);
} elsif ($mode eq 'busiest') {
    my ($pid, $port, $count, $body) = @ARGV;
    my %before = map { $_ => thread_cpu_ns($pid, $_) } threads_of($pid);
    batch($port, $count, $body);
    my ($busiest, $most) = (0, -1);
    for my $tid (keys %before) {
        my $spent = thread_cpu_ns($pid, $tid) - $before{$tid};
        ($busiest, $most) = ($tid, $spent) if $spent > $most;
    }
    print "$busiest\n";
} elsif ($mode eq 'send') {
    my ($port, $file) = @ARGV;
    open(my $in, '<:raw', $file) or die "cannot read $file: $!\n";
    local $/;
    my $body = <$in>;
    print exchange($port, framed($body)), "\n";
} else {
    die "usage: $0 alternate BATCH PAIRS BODY PID:TID:PORT PID:TID:PORT | " .
        "busiest PID PORT COUNT BODY | send PORT FILE\n";
}
