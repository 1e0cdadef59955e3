#!/usr/bin/env bash
# Measures the daemon's resident memory around one large save: the idle figure before it, the
# peak (VmHWM), the idle figure after it and after a small save that replaces its settings, and
# prints them with the machine and the method in one line.
#
#   bench/measure-save-memory.sh [commit]     (default: this working tree as it is)
#
# The daemon is a Release build made in a temporary directory (the commit's tree taken with git
# archive), started on a copy of examples/quillmark_agentd.xml (debug level 5, paths in the
# temporary directory, a stand-in agent script). The save is a framed save_configuration of
# QM_BENCH_SAVE_MIB MiB (40) of GeneralProperties settings "SettingN" = "value N" in Base64, after
# the daemon's own settings, as a client sends them; the small save sends the daemon's own
# settings alone. The idle figures are VmRSS once it has
# stopped changing (sampled every 0.2 s, at most 10 s). QM_BENCH_BINARY uses a daemon built
# already. Needs what scripts/install-deps.sh installs, git and perl.
set -euo pipefail

commit=${1:-}
mib=${QM_BENCH_SAVE_MIB:-40}

bench_tmp=$(mktemp -d "${TMPDIR:-/tmp}/qm-save-memory-XXXXXX")
. "$(dirname "$0")/daemon-bench.sh"
trap bench_cleanup EXIT
trap 'exit 130' INT TERM HUP

binary=${QM_BENCH_BINARY:-}
if [ -z "$binary" ]; then
    if [ -n "$commit" ]; then
        echo "building $commit..." >&2
        bench_build_commit "$commit" "$bench_tmp/daemon"
        binary=$bench_tmp/daemon/build/manager/quillmark_agent_managerd
    else
        echo "building this tree..." >&2
        bench_build_tree "$bench_source_dir" "$bench_tmp/build"
        binary=$bench_tmp/build/manager/quillmark_agent_managerd
    fi
fi

port=$(bench_free_port)
run=$bench_tmp/run
bench_start_daemon "$binary" "$run" "$port" 5
pid=$bench_pid

# The KiB of one field of the daemon's status.
status_kib() { awk -v field="$1:" '$1 == field { print $2 }' "/proc/$pid/status"; }
# VmRSS once two samples 0.2 s apart agree within 64 KiB.
settled_rss() {
    local last now
    last=$(status_kib VmRSS)
    for _ in $(seq 50); do
        sleep 0.2
        now=$(status_kib VmRSS)
        [ $((now - last)) -le 64 ] && [ $((last - now)) -le 64 ] && break
        last=$now
    done
    echo "$now"
}

# The settings a client sends back: the daemon's own (paths in the temporary directory), then
# for the large save the generated ones up to the size asked for. Prints their number.
perl -e '
    my ($config, $mib, $large, $small) = @ARGV;
    open(my $in, "<", $config) or die "$config: $!\n";
    my ($key, @own);
    while (<$in>) {
        $key = $1 if /<key>([^<]*)<\/key>/;
        if (defined $key && /<value>([^<]*)<\/value>/) {
            push @own, [$key, $1] if $key =~ /^(Manager|Agent|TempFileLocation)/;
            undef $key;
        }
    }
    my @alphabet = ("A" .. "Z", "a" .. "z", "0" .. "9", "+", "/");
    my $base64 = sub {
        my ($bytes, $out) = ($_[0], "");
        for (my $i = 0; $i < length $bytes; $i += 3) {
            my $group = substr($bytes, $i, 3);
            my $n = length $group;
            my $bits = unpack("N", $group . "\0" x (4 - $n)) >> 8;
            $out .= join("", map { $alphabet[($bits >> (18 - 6 * $_)) & 63] } 0 .. $n) .
                    "=" x (3 - $n);
        }
        return $out;
    };
    my $body = "save_configuration <?xml version=\"1.0\"?>\n<quillmark_agentd_config>\n" .
               "\t<GeneralProperties>\n";
    my $line = sub {
        $body .= "\t\t<prop><key>$_[0]</key><value>" . $base64->($_[1]) . "</value></prop>\n";
    };
    my $end = "\t</GeneralProperties>\n</quillmark_agentd_config>\n";
    $line->(@$_) for @own;
    open(my $out, ">", $small) or die "$small: $!\n";
    print $out $body, $end;
    my $n = 0;
    for (; length($body) < $mib * 1048576; ++$n) { $line->("Setting$n", "value $n") }
    open($out, ">", $large) or die "$large: $!\n";
    print $out $body, $end;
    print "$n\n";
' "$run/quillmark_agentd.xml" "$mib" "$bench_tmp/large.txt" "$bench_tmp/small.txt" \
    >"$bench_tmp/props.txt"

# Sends the body in file $1 and fails unless the reply is SUCCESS.
save() {
    local reply
    reply=$(perl "$bench_client" send "$port" "$1")
    [ "$reply" = SUCCESS ] || { echo "the save was answered: ${reply:0:200}" >&2; exit 1; }
}

before=$(settled_rss)
save "$bench_tmp/large.txt"
peak=$(status_kib VmHWM)
after=$(settled_rss)
save "$bench_tmp/small.txt"
after_small=$(settled_rss)

printf '%s MiB save (%s props, %s bytes): peak VmHWM %.1f MiB; idle VmRSS %.1f MiB before, %.1f MiB after it, %.1f MiB after a small save; %s; daemon of %s (Release), example configuration at debug level 5, framed save_configuration requests, /proc/<pid>/status\n' \
    "$mib" "$(cat "$bench_tmp/props.txt")" "$(stat -c %s "$bench_tmp/large.txt")" \
    "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')" \
    "$(awk -v k="$before" 'BEGIN { print k / 1024 }')" \
    "$(awk -v k="$after" 'BEGIN { print k / 1024 }')" \
    "$(awk -v k="$after_small" 'BEGIN { print k / 1024 }')" "$(bench_machine)" \
    "${QM_BENCH_BINARY:-${commit:-this tree}}"
