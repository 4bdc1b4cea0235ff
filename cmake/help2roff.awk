# Turns a program's --help text into man page source (roff, man macros).
#   awk -v prog=qvreader -v mode=main|sub -f help2roff.awk help.txt
# mode=main: the usage lines become SYNOPSIS, the rest DESCRIPTION, and
# "Exit status:" / "Environment:" paragraphs sections of their own.
# mode=sub: one command's help, for a subsection of the page.
#
# It reads the layout the programs here share: "Header:" lines, option
# lines "  -x, --long ARG   text" with continuation lines at the text's
# column, tables "  name   text", example lines that start with the
# program's name. Lines indented deeper than their item's text keep their
# line and indentation, so small tables inside an item stay tables.

function esc(s) {
    gsub(/\\/, "\\e", s)
    return s
}
function hy(s) {
    gsub(/-/, "\\-", s)
    return s
}
function lead(s) {
    if (s ~ /^[.']/) s = "\\&" s
    return s
}
# Options named in running text: bold, with real minus signs.
function opts(s,    out, word) {
    out = ""
    while (match(s, /(^|[ (\[="'])--?[A-Za-z][A-Za-z0-9-]*/)) {
        word = substr(s, RSTART, RLENGTH)
        if (word ~ /^-/) out = out substr(s, 1, RSTART - 1)
        else { out = out substr(s, 1, RSTART); word = substr(word, 2) }
        out = out "\\fB" hy(word) "\\fR"
        s = substr(s, RSTART + RLENGTH)
    }
    return out s
}
function prose(s) { return lead(opts(esc(s))) }
# A synopsis or an option's tag: options bold, placeholders italic.
function tagged(s,    n, i, w, out, parts) {
    n = split(esc(s), parts, / /)
    out = ""
    for (i = 1; i <= n; i++) {
        w = parts[i]
        if (w == prog) w = "\\fB" w "\\fR"
        else if (w ~ /^[\[(]?-/) w = opts(w)
        else if (w ~ /[A-Z][A-Z0-9]/ && w !~ /[a-z]/) gsub(/[A-Z][A-Z0-9_]*/, "\\fI&\\fR", w)
        else if (w ~ /^\[[a-z]+\]$/) w = "[\\fI" substr(w, 2, length(w) - 2) "\\fR]"
        out = out (i > 1 ? " " : "") w
    }
    return lead(out)
}
function indent_of(s) {
    match(s, /^ */)
    return RLENGTH
}
function nbsp(n,    s) {
    s = ""
    while (n-- > 0) s = s "\\ "
    return s
}
function close_block() {
    if (state == "verb") print ".fi"
    if (state == "example") { print ".fi"; print ".RE" }
    state = "none"
}
function start_para() {
    close_block()
    if (printed) print ".PP"
}
function is_option(line, ind) {
    return ind > 0 && ind <= 10 && substr(line, ind + 1, 1) == "-"
}
function is_example(text) {
    return index(text, prog " ") == 1 || text == prog || index(text, "$ ") == 1
}

BEGIN {
    state = "none"   # none, text, item, verb, example
    usage = 0
    printed = 0
    if (mode == "") mode = "main"
}

{
    sub(/\r$/, "")
    sub(/[ \t]+$/, "")
    line = $0
}

# The usage lines: "Usage: prog ...", continuation lines and alternatives.
NR == 1 && line ~ /^Usage: / {
    syn = substr(line, 8)
    if (mode == "main") print ".SH SYNOPSIS"
    else print ".PP"
    nsyn = 1
    synl[1] = syn
    usage = 1
    next
}
usage && line ~ /^      / {
    text = line
    sub(/^ +/, "", text)
    if (is_example(text)) synl[++nsyn] = text
    else synl[nsyn] = synl[nsyn] " " text
    next
}
usage {
    for (i = 1; i <= nsyn; i++) {
        if (i > 1) print ".br"
        print tagged(synl[i])
    }
    usage = 0
    if (mode == "main") print ".SH DESCRIPTION"
    printed = (mode == "sub")
}

line == "" {
    close_block()
    state = "none"
    next
}

{
    ind = indent_of(line)
    text = substr(line, ind + 1)
}

# Inside an item: continuation lines are indented past its tag; a row of
# a table nested under it (left of its text) is an item of its own.
state == "item" && ind > item_ind && !is_option(line, ind) && !is_example(text) &&
    !(ind < desc_col && text ~ /[^ ]  +[^ ]/) {
    if (desc_col < 0) desc_col = ind
    if (ind > desc_col) {
        print ".br"
        print nbsp(ind - desc_col) prose(text)
        deeper = 1
    } else {
        # A table row's next line is a field of its own; an option's is prose.
        if (deeper || ind < desc_col || !item_option) print ".br"
        print prose(text)
        deeper = 0
    }
    printed = 1
    next
}
state == "verb" && ind >= verb_ind && !is_option(line, ind) && !is_example(text) &&
    !(ind == verb_ind && text ~ /[^ ]  +[^ ]/) {
    print nbsp(ind - verb_ind) prose(text)
    next
}
state == "example" && is_example(text) {
    print "\\f(CW" lead(hy(esc(text))) "\\fR"
    next
}

# A header: a line of its own at the left margin ending in a colon.
ind == 0 && state != "text" && text ~ /:$/ && text !~ /^[a-z]/ {
    close_block()
    sub(/:$/, "", text)
    if (mode == "main") print ".SS \"" esc(text) "\""
    else { print ".PP"; print "\\fI" esc(text) "\\fR" }
    printed = 0
    next
}

# "Label: text" at the left margin starts a paragraph; two labels are
# sections of a man page of their own.
ind == 0 && text ~ /^[A-Z][A-Za-z]*( [a-z]+)?: / {
    label = text
    sub(/: .*/, "", label)
    rest = substr(text, length(label) + 3)
    if (mode == "main" && (label == "Exit status" || label == "Environment")) {
        close_block()
        print ".SH \"" toupper(label) "\""
        print prose(rest)
    } else {
        start_para()
        print "\\fB" esc(label) ":\\fR " opts(esc(rest))
    }
    state = "text"
    printed = 1
    next
}

ind == 0 {
    if (state != "text") start_para()
    print prose(text)
    state = "text"
    printed = 1
    next
}

# Indented: an option, an example, a table row or a line kept as it is.
is_example(text) {
    if (state != "example") {
        close_block()
        if (printed) print ".PP"
        print ".RS 2"
        print ".nf"
        state = "example"
    }
    print "\\f(CW" lead(hy(esc(text))) "\\fR"
    printed = 1
    next
}
is_option(line, ind) || text ~ /[^ ]  +[^ ]/ {
    close_block()
    if (match(text, /  +/)) {
        tag = substr(text, 1, RSTART - 1)
        desc = substr(text, RSTART + RLENGTH)
        desc_col = ind + RSTART - 1 + RLENGTH
    } else {
        tag = text
        desc = ""
        desc_col = -1
    }
    print ".TP"
    item_option = is_option(line, ind)
    if (item_option) print tagged(tag)
    else print "\\fB" lead(esc(tag)) "\\fR"
    if (desc != "") print prose(desc)
    state = "item"
    item_ind = ind
    deeper = 0
    printed = 1
    next
}
{
    close_block()
    if (printed) print ".PP"
    print ".nf"
    print prose(text)
    state = "verb"
    verb_ind = ind
    printed = 1
}

END {
    if (usage) {
        for (i = 1; i <= nsyn; i++) {
            if (i > 1) print ".br"
            print tagged(synl[i])
        }
    }
    close_block()
}
