.pragma library

// The rules behind what the screens show, kept out of the documents so that tests can call
// them directly: truncated names and titles, the on-air clock, the level dots, the recordings
// search and the folder link of a recording.

// The code points of `text`: a character outside the basic plane (most emoji) is one entry.
function codePoints(text) {
    return (text || "").match(/[\uD800-\uDBFF][\uDC00-\uDFFF]|[\s\S]/g) || [];
}

// `text` cut to its first `limit` characters, followed by "...", when it is longer. Characters
// are code points, so an emoji at the cut is kept whole or dropped, never split in half.
function truncated(text, limit) {
    const chars = codePoints(text);
    return chars.length > limit ? chars.slice(0, limit).join("") + "..." : (text || "");
}

function twoDigits(value) {
    return value < 10 ? "0" + value : "" + value;
}

// hh:mm:ss for a count of seconds; the hours grow past 99 as needed.
function clockText(seconds) {
    const s = Math.max(0, Math.floor(seconds));
    return twoDigits(Math.floor(s / 3600)) + ":" + twoDigits(Math.floor(s / 60) % 60) + ":"
            + twoDigits(s % 60);
}

// The first level dot lit at `level` (0.0 to 1.0): dot `index` (0 at the top left, row by row)
// is lit when index >= 75 * (1 - level), so from this one on. The dots light from the bottom
// up; the scale of 75 leaves the last dot dark below about 5 %. A level change that moves no
// dot leaves this number, and so the meter, as it is.
function firstLitDot(level) {
    return Math.ceil(75 * (1.0 - level));
}

// `template` with %1, %2, ... replaced by `values` in one pass. A chain of .arg() calls would
// go on substituting inside the values themselves: a sender named "%2" would take the place of
// the message.
function format(template, values) {
    return template.replace(/%(\d+)/g, function (match, number) {
        const index = parseInt(number, 10) - 1;
        return index >= 0 && index < values.length ? String(values[index]) : match;
    });
}

// What screen readers say of a listener's message that has just arrived: the name and the text
// cut to what is worth listening to.
function spokenMessage(sender, text) {
    return format(qsTr("%1 says: %2"), [truncated(sender, 100), truncated(text, 300)]);
}

// The short-term loudness next to the meter, to the whole LU ("-16 LUFS"); a dash while
// there is nothing to measure (-Infinity: silence, no input).
function loudnessText(lufs) {
    return isFinite(lufs) ? qsTr("%1 LUFS").arg(Math.round(lufs)) : qsTr("\u2013 LUFS");
}

function titleLine(title) {
    return title ? truncated(title, 25) : qsTr("Click on start to go live...");
}

function channelCaption(name) {
    return name ? qsTr("%1 on Castora").arg(name) : qsTr("Loading Channel...");
}

function listenerText(count) {
    return count === 1 ? qsTr("%1 listener").arg(count) : qsTr("%1 listeners").arg(count);
}

// The channel's public page: the web site's address, "/" and the slug, percent-encoded so that
// a slug holding "/", "?", "#" or blanks stays one path segment.
function listenLink(website, slug) {
    return website + "/" + encodeURIComponent(slug || "");
}

// The first character of a sender's name in upper case, "?" for an empty name.
function avatarLetter(sender) {
    const chars = codePoints(sender);
    return chars.length ? chars[0].toUpperCase() : "?";
}

// The colour emoji font. Other fonts (DejaVu Sans among them) draw many emoji in black and
// white, and the font fallback only asks for another font when the first has no glyph at all.
var emojiFont = "Noto Color Emoji";

// Runs of emoji: characters outside the basic plane from U+1F000 on, the symbols and
// dingbats that have emoji forms, and the joiner and variation selector of emoji sequences.
var emojiRun = /(?:[\uD83C-\uD83E][\uDC00-\uDFFF]|[\u203C\u2049\u2122\u2139\u2194-\u21AA\u231A-\u23FF\u24C2\u25AA-\u25FE\u2600-\u27BF\u2934\u2935\u2B05-\u2B55\u3030\u303D\u3297\u3299\u200D\uFE0F])+/g;

// `text` as rich text for a Text item: everything escaped (a message is shown, never
// interpreted), line breaks kept, and each run of emoji set in the colour emoji font.
function emojiRichText(text) {
    const escaped = (text || "").replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
            .replace(/"/g, "&quot;").replace(/\n/g, "<br>");
    return escaped.replace(emojiRun, function (run) {
        return "<font face=\"" + emojiFont + "\">" + run + "</font>";
    });
}

// Whether a chat message is worth sending: something besides white space.
function hasText(message) {
    return (message || "").trim() !== "";
}

// A recording matches a search when the trimmed search is empty, or when it appears, case
// ignored, in the recording's name or in its creation date.
function matchesSearch(search, name, dateCreated) {
    const needle = (search || "").trim().toLowerCase();
    return needle === "" || (name || "").toLowerCase().indexOf(needle) >= 0
            || (dateCreated || "").toLowerCase().indexOf(needle) >= 0;
}

// The file URL of the folder holding `path` (Windows or POSIX separators). A path without a
// folder part is used whole. Characters that would end a URL's path ("%", "#", "?") are
// escaped, so a folder named "Show #5" opens that folder and not "Show ".
function folderUrl(path) {
    const text = path || "";
    const cut = Math.max(text.lastIndexOf("/"), text.lastIndexOf("\\"));
    const folder = (cut > 0 ? text.substring(0, cut) : text).replace(/\\/g, "/");
    const escaped = folder.replace(/%/g, "%25").replace(/#/g, "%23").replace(/\?/g, "%3F");
    if (folder.length >= 2 && folder.charAt(1) === ":")
        return "file:///" + escaped;
    return "file://" + (folder.charAt(0) === "/" ? "" : "/") + escaped;
}

// The upload table with `id`'s entry set (a new object: every row reading it is updated).
function withUpload(table, id, isLargeFile, progress) {
    const result = Object.assign({}, table);
    result[id] = {
        "isLargeFile": isLargeFile,
        "progress": progress
    };
    return result;
}

// The upload table without `id`'s entry (a new object).
function withoutUpload(table, id) {
    const result = Object.assign({}, table);
    delete result[id];
    return result;
}
