// The fixed parts of the message page (html_page.h): its head, the content policy, its style
// and its script, which the page writer puts around the conversations it writes.
#pragma once

namespace larkpost::page_text {

inline constexpr char kHead[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
)";

// Nothing from anywhere (default-src 'none'); the page's own styles and scripts only. A page
// with media may show pictures from 'self', which for a page opened from disk is any local file:
// kNarrowToFolder then narrows that to the page's media folder wherever the page lies now
// (a policy given by a meta element applies from where the element is, so the narrowing comes
// before the first picture).
inline constexpr char kPolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'";
inline constexpr char kMediaPolicy[] = "; img-src 'self'; media-src 'self'";

inline constexpr char kNarrowToFolder[] = R"(<script>
(function () {
  var path = location.pathname.replace(/;/g, '%3B').replace(/,/g, '%2C');
  var folder = (location.protocol === 'file:' ? 'file://*' : location.origin) +
      path.slice(0, path.lastIndexOf('/') + 1) + '@FOLDER@/';
  var policy = document.createElement('meta');
  policy.httpEquiv = 'Content-Security-Policy';
  policy.content = 'img-src ' + folder + '; media-src ' + folder;
  document.head.appendChild(policy);
})();
</script>
)";

inline constexpr char kStyle[] = R"(<title>Messages</title>
<style>
:root { --bg: #eef1f5; --card: #fff; --ink: #1d2430; --soft: #6b7585; --in: #fff; --out: #d8ebff;
  --line: #d9dee6; --accent: #2f6fd1; }
* { box-sizing: border-box; }
body { margin: 0; background: var(--bg); color: var(--ink);
  font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "Noto Sans", sans-serif; }
header { position: sticky; top: 0; z-index: 2; background: rgba(255,255,255,.96);
  border-bottom: 1px solid var(--line); padding: 14px 20px 12px; }
header .bar { max-width: 860px; margin: 0 auto; display: flex; flex-wrap: wrap; align-items: baseline;
  gap: 6px 16px; }
h1 { font-size: 20px; margin: 0; font-weight: 650; }
.sum { color: var(--soft); font-size: 13px; margin: 0; }
.find { flex-basis: 100%; display: flex; align-items: center; gap: 12px; }
#q { flex: 1; font: inherit; padding: 8px 12px; border: 1px solid var(--line); border-radius: 8px;
  background: #f7f9fc; outline: none; }
#q:focus { border-color: var(--accent); background: #fff; box-shadow: 0 0 0 3px rgba(47,111,209,.15); }
#n { color: var(--soft); font-size: 13px; white-space: nowrap; }
main { max-width: 860px; margin: 0 auto; padding: 16px 20px 40px; }
#list { flex-basis: 100%; font-size: 13px; }
#list summary { cursor: pointer; color: var(--accent); }
#list ul { list-style: none; margin: 6px 0 0; padding: 0; max-height: 40vh; overflow: auto;
  display: flex; flex-wrap: wrap; gap: 4px 6px; }
#list a { display: inline-block; padding: 2px 9px; border: 1px solid var(--line); border-radius: 12px;
  color: var(--ink); text-decoration: none; background: #fff; }
#list a:hover { border-color: var(--accent); }
#list a span { color: var(--soft); margin-left: 5px; }
section { background: var(--card); border: 1px solid var(--line); border-radius: 12px;
  margin: 0 0 18px; overflow: hidden; content-visibility: auto; contain-intrinsic-size: auto 600px;
  scroll-margin-top: 130px; }
h2 { margin: 0; padding: 10px 16px; font-size: 15px; font-weight: 600; background: #f7f9fc;
  border-bottom: 1px solid var(--line); display: flex; gap: 10px; align-items: baseline; }
h2 .num { color: var(--soft); font-weight: 400; font-size: 13px; }
h2 .cnt { margin-left: auto; color: var(--soft); font-weight: 400; font-size: 12px; }
ol { list-style: none; margin: 0; padding: 10px 14px 14px; display: flex; flex-direction: column; gap: 6px; }
li.day { align-self: center; color: var(--soft); font-size: 12px; margin: 8px 0 2px; }
li.m { max-width: 78%; padding: 7px 11px 5px; border-radius: 12px; border: 1px solid var(--line);
  background: var(--in); align-self: flex-start; }
li.out { background: var(--out); border-color: #bcd9f7; align-self: flex-end; }
li.draft { border-style: dashed; }
li.call { background: none; border-style: dotted; font-style: italic; }
.t { margin: 0; white-space: pre-wrap; overflow-wrap: anywhere; }
.d { margin: 2px 0 0; font-size: 11.5px; color: var(--soft); display: flex; gap: 8px; justify-content: space-between; }
.f { background: rgba(0,0,0,.05); border-radius: 4px; padding: 0 5px; }
.s { margin: 0 0 2px; font-size: 12.5px; font-weight: 600; color: var(--accent); }
.sub { margin: 0 0 2px; font-weight: 600; }
.pic { display: block; margin: 3px 0 4px; line-height: 0; }
.pic img { max-width: 100%; height: auto; border-radius: 8px; background: #e4e8ee; }
.pic img.unk { object-fit: contain; }
.att { margin: 3px 0; font-size: 13.5px; }
.att a { color: var(--accent); }
.att .k { font-size: 11px; text-transform: uppercase; letter-spacing: .04em; color: var(--soft);
  border: 1px solid var(--line); border-radius: 4px; padding: 0 4px; margin-right: 6px; }
.att .z { color: var(--soft); font-size: 12px; margin-left: 6px; }
[hidden] { display: none !important; }
.none { text-align: center; color: var(--soft); padding: 30px 0; }
@media print {
  body { background: #fff; font-size: 11pt; }
  header { position: static; border: 0; padding: 0 0 8pt; }
  .find, #list { display: none; }
  main { max-width: none; padding: 0; }
  section { border: 0; border-radius: 0; margin: 0 0 14pt; break-inside: auto;
    content-visibility: visible; }
  h2 { background: none; border-bottom: 1px solid #999; padding: 4pt 0; break-after: avoid; }
  ol { padding: 4pt 0; }
  li.m { break-inside: avoid; background: #fff; border-color: #999; }
  li.out { background: #f0f0f0; }
  li[hidden], section[hidden] { display: block !important; }
}
</style>
)";

// Conversations out of view are not laid out (content-visibility), and their pictures load only
// when they come near the view (loading="lazy", each with its size), so a page of 100,000
// messages opens in about the time its bytes take to parse, pictures or not. The search index
// is built on the first search, not before the page is shown, and reads text only: it never
// touches a picture. A day's heading stays while any message of that day is shown.
inline constexpr char kScript[] = R"(<script>
(function () {
  var box = document.getElementById('q'), count = document.getElementById('n');
  var none = document.getElementById('none'), list = document.getElementById('list');
  var total = document.querySelectorAll('main li.m').length, sections = null;
  // Calls are listed among the messages: with any, the count is of entries.
  var unit = document.querySelector('main li.call') ? ' entries' : ' messages';
  function index() {
    return Array.prototype.map.call(document.querySelectorAll('main section'), function (s) {
      var days = [], day = null;
      Array.prototype.forEach.call(s.querySelector('ol').children, function (li) {
        if (li.classList.contains('day')) {
          days.push(day = { node: li, items: [] });
        } else if (day) {
          day.items.push({ node: li, text: li.textContent.toLowerCase() });
        }
      });
      return {
        node: s,
        link: list ? list.querySelector('a[href="#' + s.id + '"]') : null,
        who: s.querySelector('h2').textContent.toLowerCase(),
        days: days
      };
    });
  }
  function show(node, shown) {
    if (node && node.hidden === shown) node.hidden = !shown;
  }
  function filter() {
    var words = box.value.toLowerCase().split(/\s+/).filter(Boolean), shown = 0;
    if (!sections) {
      if (!words.length) return;
      sections = index();
    }
    sections.forEach(function (s) {
      var visible = 0;
      s.days.forEach(function (d) {
        var before = visible;
        d.items.forEach(function (m) {
          var ok = words.every(function (w) { return s.who.indexOf(w) >= 0 || m.text.indexOf(w) >= 0; });
          show(m.node, ok);
          if (ok) visible++;
        });
        show(d.node, visible > before);
      });
      show(s.node, visible > 0);
      show(s.link && s.link.parentNode, visible > 0);
      shown += visible;
    });
    count.textContent = words.length ? shown + ' of ' + total + unit : total + unit;
    none.hidden = shown > 0;
  }
  count.textContent = total + unit;
  box.addEventListener('input', filter);
  window.addEventListener('beforeprint', function () {
    // A printout holds every picture, not only those that were near the view.
    Array.prototype.forEach.call(document.images, function (p) { p.loading = 'eager'; });
  });
  if (list) {
    list.addEventListener('click', function (e) {
      if (e.target.closest('a')) list.open = false;
    });
  }
  if (location.hash.indexOf('#q=') === 0) {
    var wanted = location.hash.slice(3);
    try {
      wanted = decodeURIComponent(wanted);
    } catch (e) {
      // A broken escape ("%E0%A4%A") is searched for as it stands.
    }
    box.value = wanted;
    box.dispatchEvent(new Event('input'));
  }
})();
</script>
</body>
</html>
)";

}  // namespace larkpost::page_text
