# Quillor edge cache (Varnish 7): keeps file bodies near the players, asks the origin every time.
# Install: copy to /etc/varnish/quillor.vcl, set the backend to the nginx origin of nginx-site.conf,
# start varnishd with "-f /etc/varnish/quillor.vcl". Only the updater's three kinds of path pass.
#
# Access log for "quillor-publish report": the origin's JSON fields, written by varnishncsa (its
# lines carry "src":"edge"; the edge sends no completion flag, so a body counts as whole when
# its bytes are the listed size):
#   varnishncsa -a -w /var/log/varnish/quillor-access.json -j -F '{"msec":%{sec}t.%{usec_frac}t,"addr":"%h",
#     "peer":"%h","method":"%m","uri":"%U","status":%s,"bytes":%b,"tree":"%{X-Quillor-Tree}o",
#     "etag":"%{ETag}o","agent":"%{User-Agent}i","conn":"%{VSL:Begin[2]}x","src":"edge"}'
# (the format on one line; -D to run it as a daemon). Rotate it as nginx's log, with -w again.
#
# Why it can never hand out an old body: a path under files/ gets new bytes in place from one
# release to the next, and manifest.txt and manifest.sig change together. So no answer is ever
# reused for a request that came after it (TTL of one microsecond; only the requests that were
# already waiting for the same fetch share it), but every good answer is kept (keep) so that
# the next request's question to the origin is a conditional GET: the origin answers "304 Not
# Modified" in a few hundred bytes and the edge sends its stored body. quillor-publish gives each
# new body a modification time later than any earlier one, so nginx's ETag and Last-Modified
# always change with the bytes and never without them.
#
# patch/ is different: "patch/<SHA-256>" and "patch/<SHA-256>.blocks" are named by their bytes, so
# an object there is never stale. It is kept for a year and answered without asking the origin,
# single ranges (which the updater asks for) from the stored object; a request for several ranges
# at once gets 416. It needs no tree question either: both trees hold the same bytes under a name,
# and a miss is fetched from the player's own tree (the origin picks it by X-Forwarded-For), so
# a name that tree lacks is a 404, never stored.
#
# Staged releases: the origin decides which tree (live or stage) a player gets, from the
# player's address; the edge follows. For every request it first asks the origin (a pass
# request to /.quillor-tree with the player's address in X-Forwarded-For), then restarts with
# the real URL, keeps the tree's name in the cache key and asks the origin for exactly that tree
# ("X-Quillor-Tree", which the origin trusts only from its edges). So a stored body and its key
# always come from the same tree, even when the share changes between the two requests.
vcl 4.1;

backend origin {
    .host = "127.0.0.1";
    .port = "8080";
    .connect_timeout = 5s;
    .first_byte_timeout = 20s;
    .between_bytes_timeout = 20s;
}

sub vcl_recv {
    # The origin takes the player's address from here (its realip module), never from the player.
    set req.http.X-Forwarded-For = client.ip;
    if (req.restarts > 0) {
        # Back from vcl_deliver with the origin's answer for this player.
        if (req.http.X-Quillor-Tree !~ "^(live|stage)$") {
            return (synth(503));
        }
        return (hash);
    }
    # NB: do not trust a player's tree choice; only the origin's answer sets it.
    unset req.http.X-Quillor-Tree;
    unset req.http.X-Quillor-Url;
    # The updater only GETs; HEAD is for checks by hand. No PURGE/BAN is needed (see above).
    if (req.method != "GET" && req.method != "HEAD") {
        return (synth(405));
    }
    # Exactly the server tree's layout: no query strings, no dot segments, no encoded slashes
    # or dots (the updater never sends them), nothing else of the origin host.
    if (req.url !~ "^/(manifest\.txt|manifest\.sig|files/[A-Za-z0-9._~%/-]+)$" ||
        req.url ~ "(^|/)\.\.?(/|$)" || req.url ~ "//" || req.url ~ "(?i)%(2e|2f|5c|00)") {
        if (req.url !~ "^/patch/[0-9a-f]{64}(\.blocks)?$") {
            return (synth(404));
        }
    }
    # Players send none; dropping them keeps one shared object per path.
    unset req.http.Cookie;
    if (req.url ~ "^/patch/") {
        # One range per request: a list of ranges is refused, never answered with the whole body.
        if (req.http.Range ~ ",") {
            return (synth(416));
        }
        return (hash);
    }
    # Credentials in the base URL go on to the origin (on every fetch and revalidation, and on
    # the tree question) and into the cache key below.
    # Which tree is this player's? One small uncached request; the answer comes to vcl_deliver.
    set req.http.X-Quillor-Url = req.url;
    set req.url = "/.quillor-tree";
    return (pass);
}

sub vcl_hash {
    # One object per tree and path, whatever host name the player used to reach this edge.
    hash_data(req.http.X-Quillor-Tree);
    hash_data(req.url);
    # NB: never drop this line while Authorization passes: players sharing one credential share
    # objects, but no request, not even one waiting for the same fetch, is ever answered with
    # an object fetched under other credentials or none.
    if (req.http.Authorization) {
        hash_data(req.http.Authorization);
    }
    return (lookup);
}

sub vcl_backend_response {
    if (bereq.url ~ "^/patch/" && beresp.status == 200) {
        # Named by content: kept and used for a year, never revalidated (the origin says immutable).
        set beresp.ttl = 365d;
        set beresp.grace = 0s;
        set beresp.keep = 0s;
        unset beresp.http.Set-Cookie;
        return (deliver);
    }
    if (beresp.status == 200) {
        # A 304 from the origin arrives here as 200 with the stored body (beresp.was_304).
        # Not 0s: Varnish treats an object with TTL 0 as purged and never revalidates it.
        set beresp.ttl = 0.001ms;
        set beresp.grace = 0s;
        set beresp.keep = 30d;
        unset beresp.http.Set-Cookie;
        return (deliver);
    }
    # 404, redirects to mirrors, errors: passed on, never stored.
    set beresp.ttl = 0s;
    set beresp.grace = 0s;
    set beresp.keep = 0s;
    set beresp.uncacheable = true;
    return (deliver);
}

sub vcl_deliver {
    if (req.url ~ "^/patch/") {
        return (deliver);
    }
    if (req.restarts == 0) {
        # The origin's answer to /.quillor-tree (before its credential check, as a return comes
        # first in nginx): go on with the real URL in the tree it named.
        if (resp.status != 204 || resp.http.X-Quillor-Tree !~ "^(live|stage)$") {
            return (synth(503));
        }
        set req.http.X-Quillor-Tree = resp.http.X-Quillor-Tree;
        set req.url = req.http.X-Quillor-Url;
        unset req.http.X-Quillor-Url;
        return (restart);
    }
    # For checks by hand: which tree answered.
    set resp.http.X-Quillor-Tree = req.http.X-Quillor-Tree;
}
