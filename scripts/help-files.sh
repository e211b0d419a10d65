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
    printf '.SH FILES\n.TP\n.I ~/.config/vantrel/ports.toml\n'
    printf 'The COM numbers of this user (\\fB$XDG_CONFIG_HOME\\fR when set; \\fB$VANTREL_PORTS\\fR\n'
    printf 'names another file); \\fBvantrel ports \\-\\-assign\\fR writes it.\n'
    printf '.TP\n.I /etc/vantrel/ports.toml\nThe COM numbers of the machine, when the user has none.\n'
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
    printf '        --form | --device | --link) COMPREPLY=($(compgen -f -- "$cur")); return ;;\n'
    printf '        --baud) COMPREPLY=($(compgen -W "300 600 1200 2400 4800 9600 19200 38400 57600 115200" -- "$cur")); return ;;\n'
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
