#!/bin/sh
# Writes the man page and the bash completion of the vantrel tool from the tool's own --help, so
# that neither can drift from the options the tool takes.
# Usage: help-files.sh VANTREL VERSION MAN_PAGE COMPLETION
set -eu
tool=$1
version=$2
man=$3
completion=$4

top=$("$tool" --help)
# Subcommand names: the lines under "Subcommands:".
commands=$(printf '%s\n' "$top" | awk '/^Subcommands:/ {on=1; next} on && /^  [a-z]/ {print $1}')
[ -n "$commands" ] || { echo "help-files.sh: no subcommands in $tool --help" >&2; exit 1; }

# Option names of a help text: "--map", "-h", "--help" from lines such as "  -h,--help  ...".
options_of() {
    printf '%s\n' "$1" | awk '/^Options:/ {on=1; next} /^[A-Z]/ {on=0}
        on && /^  -/ {n = split($1, names, ","); for (i = 1; i <= n; i++) print names[i]}'
}

# troff: a backslash doubled; a line starting with a dot or an apostrophe guarded.
roff() {
    sed -e 's/\\/\\e/g' -e 's/^\([.'"'"']\)/\\\&\1/' -e 's|\./[^ ]*/vantrel|vantrel|g'
}

{
    printf '.TH VANTREL 1 "" "vantrel %s" "User Commands"\n' "$version"
    printf '.SH NAME\nvantrel \\- drive an interface board and its converters from the command line\n'
    printf '.SH SYNOPSIS\n.B vantrel\n[\\fICOMMAND\\fR] [\\fIOPTIONS\\fR]\n'
    printf '.SH DESCRIPTION\n.nf\n'
    "$tool" --help | sed -e 's|^Usage: .*vantrel|Usage: vantrel|' | roff
    printf '.fi\n.SH COMMANDS\n'
    for c in $commands; do
        printf '.SS %s\n.nf\n' "$c"
        "$tool" "$c" --help | sed -e 's|^Usage: .*vantrel|Usage: vantrel|' | roff
        printf '.fi\n'
    done
    printf '.SH EXAMPLES\n'
    printf 'Find the board on COM1 to COM8 and remember where it is, then read channel 3 of the\n'
    printf '10\\-bit converter five times and open a console on the same board:\n'
    printf '.PP\n.nf\n.RS\n'
    printf 'vantrel find \\-\\-form lab.toml \\-\\-name Board1 \\-\\-save\n'
    printf 'vantrel read \\-\\-form lab.toml \\-\\-name Board1 \\-\\-bits 10 \\-c 3 \\-n 5\n'
    printf 'vantrel shell \\-\\-form lab.toml \\-\\-name Board1\n'
    printf '.RE\n.fi\n.PP\n'
    printf 'A board on a USB adapter, at 115200 baud, as a raw terminal; then what may stand in the way\n'
    printf 'of opening it (groups, ModemManager, brltty, the latency timer):\n'
    printf '.PP\n.nf\n.RS\n'
    printf 'vantrel term /dev/ttyUSB0 \\-b 115200\n'
    printf 'vantrel doctor\n'
    printf '.RE\n.fi\n.PP\n'
    printf 'Try everything without the hardware, with the simulator in the background:\n'
    printf '.PP\n.nf\n.RS\n'
    printf 'vantrel\\-sim \\-\\-assign 1 &\n'
    printf 'vantrel read \\-\\-bits 12 \\-c 0 \\-n 3 \\-\\-csv | head \\-n 2\n'
    printf 'kill %%1\n'
    printf '.RE\n.fi\n'
    printf '.SH ENVIRONMENT\n'
    printf '.TP\n.B VANTREL_PORTS\nThe ports file to use instead of the user'"'"'s or the machine'"'"'s.\n'
    printf '.TP\n.B XDG_CONFIG_HOME\nWhere the user'"'"'s ports file lives (\\fI$XDG_CONFIG_HOME/vantrel/ports.toml\\fR).\n'
    printf '.TP\n.B XDG_RUNTIME_DIR\nWhere \\fBvantrel\\-sim \\-\\-assign\\fR puts the link to its pseudo\\-terminal.\n'
    printf '.TP\n.B HOME\nThe shell'"'"'s history file, \\fI~/.vantrel_history\\fR.\n'
    printf '.TP\n.B VANTREL_SYSROOT\nA folder that stands for /, for /sys, /dev and /proc: the serial devices, adapters\n'
    printf 'and processes seen are the ones below it (for tests on a fake machine).\n'
    printf '.SH FILES\n.TP\n.I ~/.config/vantrel/ports.toml\n'
    printf 'The COM numbers of this user (\\fB$XDG_CONFIG_HOME\\fR when set; \\fB$VANTREL_PORTS\\fR\n'
    printf 'names another file); \\fBvantrel ports \\-\\-assign\\fR writes it.\n'
    printf '.TP\n.I /etc/vantrel/ports.toml\nThe COM numbers of the machine, when the user has none.\n'
    printf '.TP\n.I ~/.vantrel_history\nThe lines typed at the shell'"'"'s console (\\fB\\-\\-history\\fR chooses another).\n'
    printf '.TP\n.I /dev/serial/by\\-id/\nStable names of USB adapters; \\fBfind \\-\\-save\\fR and \\fBports \\-\\-assign\\fR store these.\n'
    printf '.TP\n.I /usr/lib/udev/rules.d/60\\-vantrel.rules\nGives USB serial adapters to the group \\fBdialout\\fR (installed by the package).\n'
    printf '.SH EXIT STATUS\n0 true, 1 false, 2 usage error, 3 failed call.\n'
    printf '.SH SEE ALSO\n.BR vantrel-sim (1)\n'
} >"$man.tmp"
mv "$man.tmp" "$man"

{
    printf '# bash completion for vantrel, written from its --help by scripts/help-files.sh.\n'
    printf '_vantrel() {\n'
    printf '    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} cmd="" i\n'
    printf '    for ((i = 1; i < COMP_CWORD; i++)); do\n'
    printf '        case ${COMP_WORDS[i]} in -*) ;; *) cmd=${COMP_WORDS[i]}; break ;; esac\n'
    printf '    done\n'
    printf '    case $prev in\n'
    printf '        --form | --device | -d | --link) COMPREPLY=($(compgen -f -- "$cur")); return ;;\n'
    printf '        --baud | -b) COMPREPLY=($(compgen -W "300 600 1200 2400 4800 9600 19200 38400 57600 115200" -- "$cur")); return ;;\n'
    printf '    esac\n'
    printf '    local words\n'
    printf '    case $cmd in\n'
    printf '        "") words="%s %s" ;;\n' "$(echo $commands)" "$(options_of "$top" | tr '\n' ' ')"
    for c in $commands; do
        printf '        %s) words="%s" ;;\n' "$c" "$(options_of "$("$tool" "$c" --help)" | tr '\n' ' ' | sed 's/ $//')"
    done
    printf '    esac\n'
    printf '    COMPREPLY=($(compgen -W "$words" -- "$cur"))\n'
    printf '}\n'
    printf 'complete -o default -F _vantrel vantrel\n'
} >"$completion.tmp"
mv "$completion.tmp" "$completion"
