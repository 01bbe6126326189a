# Writes CHANGELOG.md as the Debian changelog of a native package: each
# "## VERSION - DATE [HH:MM UTC]" heading opens an entry, each "- " item becomes a "* "
# item, and its indented lines continue it.  An "## Unreleased" heading opens
# an UNRELEASED entry for the version and date (as date(1) reads it) given.
#   awk -v maintainer="NAME <ADDRESS>" -v version=V -v date=D -f debian-changelog.awk CHANGELOG.md

function close_entry() {
    if (stamp != "")
        printf "\n -- %s  %s\n", maintainer, stamp
}

function open_entry(entry_version, distribution, when,    command) {
    close_entry()
    if (stamp != "")
        print ""
    command = "LC_ALL=C date -u -R -d '" when "'"
    command | getline stamp
    close(command)
    printf "xorfile (%s) %s; urgency=medium\n\n", entry_version, distribution
}

/^## Unreleased$/ { open_entry(version, "UNRELEASED", date); next }
/^## / { open_entry($2, "unstable", $4 " " $5 " " $6); next }
stamp != "" && /^- / { print "  * " substr($0, 3); next }
stamp != "" && /^  [^ ]/ { print "    " substr($0, 3); next }
END { close_entry() }
