# Writes CHANGELOG.md as the Debian changelog of a native package: each
# "## VERSION - DATE [HH:MM UTC]" heading opens an entry, each "- " item becomes a "* "
# item, and its indented lines continue it.
#   awk -v maintainer="NAME <ADDRESS>" -f debian-changelog.awk CHANGELOG.md

function close_entry() {
    if (stamp != "")
        printf "\n -- %s  %s\n", maintainer, stamp
}

/^## / {
    close_entry()
    if (stamp != "")
        print ""
    command = "LC_ALL=C date -u -R -d '" $4 " " $5 " " $6 "'"
    command | getline stamp
    close(command)
    printf "xorfile (%s) unstable; urgency=medium\n\n", $2
    next
}
stamp != "" && /^- / { print "  * " substr($0, 3); next }
stamp != "" && /^  [^ ]/ { print "    " substr($0, 3); next }
END { close_entry() }
