// SPDX-License-Identifier: MIT
#include "relkad/web_page.h"

// Text only ever reaches the page through textContent: names from the lab
// file are never read as markup. Every request that switches carries the
// X-Relkad-Request header, which a page of another site cannot send.
const char* web_page() {
  return R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>relkad</title>
<style>
body { font-family: sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; }
section { border: 1px solid #bbb; border-radius: 6px; padding: 0.5em 1em;
          margin-bottom: 1em; max-width: 40em; }
h2 { font-size: 1.1em; margin: 0.3em 0; }
table { border-collapse: collapse; width: 100%; }
td { padding: 0.25em 0.5em; }
.on { color: #060; font-weight: bold; }
.off { color: #900; }
.unknown { color: #666; font-style: italic; }
button { margin-right: 0.3em; }
button:focus { outline: 3px solid #36c; }
#message { min-height: 1.5em; }
tr.greyed td { color: #999; }
button:disabled { opacity: 0.4; }
.lease { font-size: 0.9em; }
.number { color: #555; text-align: right; }
.when { font-size: 0.9em; color: #444; margin: 0.2em 0; }
</style>
</head>
<body>
<h1>relkad: the lab's power outlets</h1>
<p id="user"></p>
<p id="message" role="status" aria-live="polite"></p>
<main id="boxes"><p>Loading...</p></main>
<script>
"use strict";
const boxes = document.getElementById("boxes");
const message = document.getElementById("message");
const outletNames = {};
let user = null;    // the last lab answer's: who this page speaks for
let changes = 0;    // cards redrawn from a switch's answer so far

function say(text) { message.textContent = text; }

async function call(method, path, body) {
  const response = await fetch(location.origin + path, {
    method: method,
    headers: { "Content-Type": "application/json", "X-Relkad-Request": "1" },
    body: body === undefined ? undefined : JSON.stringify(body),
    credentials: "same-origin"
  });
  const answer = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(answer.error || response.statusText);
  return answer;
}

// Who this page speaks for, from the lab's answer.
function showUser() {
  const line = document.getElementById("user");
  if (!user || !user.name) { line.textContent = ""; return; }
  line.textContent = "You are " + user.name +
      (user.lease_admin ? " (you may end anyone's lease)" : "") +
      "; what you may not switch is greyed out.";
}

async function lease(box, outlet, label, seconds) {
  const where = "/api/v1/outlets/" + outletNames[box + "/" + outlet] + "/lease";
  try {
    if (seconds > 0) await call("POST", where, { seconds: seconds });
    else await call("DELETE", where);
    say(label + (seconds > 0 ? ": leased to you for an hour" : ": lease ended"));
  } catch (e) {
    say(label + ": " + e.message);
  }
  refresh();
}

// A switch of one outlet, or of the whole box (outlet "all"); the box's
// card is redrawn from relkad's answer, which carries the box's state.
async function act(box, outlet, label, what) {
  const whole = outlet === "all";
  const question = what === "cycle" ? "Power-cycle " + label + "?"
                 : whole ? "Switch " + label + " " + what + "?"
                 : "Switch " + label + " off?";
  if ((whole || what !== "on") && !window.confirm(question)) return;
  say((what === "cycle" ? "Cycling " : "Switching ") + label + "...");
  const outlets = whole ? "all" : [outlet];
  try {
    const answer = what === "cycle"
        ? await call("POST", "/api/v1/boxes/" + box + "/cycle", { outlets: outlets })
        : await call("PUT", "/api/v1/boxes/" + box, { state: what, outlets: outlets });
    say(label + ": " + (what === "cycle" ? "cycled" : what));
    changes++;
    replaceCard(answer);
  } catch (e) {
    say(label + ": " + e.message);
    refresh();
  }
}

function button(text, box, outlet, label, what) {
  const b = document.createElement("button");
  b.type = "button";
  b.textContent = text;
  b.setAttribute("aria-label", text + " " + label);
  b.dataset.box = box; b.dataset.outlet = outlet; b.dataset.action = what;
  b.addEventListener("click", () =>
      what === "lease" ? lease(box, outlet, label, 3600)
    : what === "unlease" ? lease(box, outlet, label, 0)
    : act(box, outlet, label, what));
  return b;
}

function cell(text, className, id) {
  const c = document.createElement("td");
  c.textContent = text;
  if (className) c.className = className;
  if (id) c.id = id;
  return c;
}

// One outlet's row, and whether the user may not switch the outlet.
function outletRow(box, n, me) {
  const outlet = box.outlets[String(n)];
  const label = outlet.name ? outlet.name + " (outlet " + n + ")"
                            : "outlet " + n + " of " + box.name;
  if (outlet.name) outletNames[box.name + "/" + n] = outlet.name;
  const held = Boolean(outlet.lease && outlet.lease.holder !== me);
  const row = document.createElement("tr");
  const actions = document.createElement("td");
  for (const [text, what] of [["On", "on"], ["Off", "off"], ["Cycle", "cycle"]]) {
    const b = button(text, box.name, n, label, what);
    b.disabled = outlet.may === false || held || !box.known;
    if (!box.known) b.title = "Set the whole box first: All on or All off";
    actions.appendChild(b);
  }
  if (me && outlet.name && outlet.may !== false && !held)
    actions.appendChild(button(outlet.lease ? "End lease" : "Lease 1 h",
        box.name, n, label, outlet.lease ? "unlease" : "lease"));
  else if (me && outlet.name && held && user && user.lease_admin)
    actions.appendChild(button("End lease", box.name, n, label, "unlease"));
  if (outlet.may === false || held) {
    row.className = "greyed";
    row.title = outlet.may === false ? "You may not switch " + label
                                     : label + " is leased to " + outlet.lease.holder;
  }
  row.append(cell(String(n), "number"),
             cell(outlet.name ? outlet.name : "outlet " + n),
             cell(outlet.state, outlet.state, "state-" + box.name + "-" + n),
             cell(outlet.lease ? "leased to " + outlet.lease.holder + " until " +
                                 outlet.lease.until : "",
                  "lease", "lease-" + box.name + "-" + n),
             actions);
  return { row: row, barred: outlet.may === false || held };
}

function card(box) {
  const me = user && user.name ? user.name : "";
  const section = document.createElement("section");
  section.id = "box-" + box.name;
  const title = document.createElement("h2");
  title.textContent = box.name + " (line " + box.line + ", address " +
                      box.address + ")";
  const when = document.createElement("p");
  when.className = "when";
  when.id = "set-at-" + box.name;
  when.textContent = box.known
      ? "Last changed " + (box.set_at ? box.set_at.replace("T", " ")
                                            .replace(/Z$/, " UTC")
                                      : "at an unknown time")
      : "The outlets are not known (the box cannot be read back): " +
        "set them with All on or All off.";
  const table = document.createElement("table");
  let barred = false;
  for (let n = 1; n <= 8; ++n) {
    const made = outletRow(box, n, me);
    barred = barred || made.barred;
    table.appendChild(made.row);
  }
  const whole = document.createElement("p");
  for (const [text, what] of [["All on", "on"], ["All off", "off"]]) {
    const b = button(text, box.name, "all", "all outlets of " + box.name, what);
    b.setAttribute("aria-label", text + " " + box.name);
    b.disabled = barred;
    whole.appendChild(b);
  }
  section.append(title, when, whole, table);
  return section;
}

// Runs `draw`, then puts the focus back on the button that had it.
function keepingFocus(draw) {
  const had = document.activeElement && document.activeElement.dataset
      ? Object.assign({}, document.activeElement.dataset) : null;
  draw();
  if (!had || !had.box) return;
  const again = boxes.querySelector('button[data-box="' + CSS.escape(had.box) +
      '"][data-outlet="' + CSS.escape(had.outlet) + '"][data-action="' +
      CSS.escape(had.action) + '"]');
  if (again) again.focus();
}

function replaceCard(box) {
  const old = document.getElementById("box-" + box.name);
  if (old && old.parentNode === boxes)
    keepingFocus(() => old.replaceWith(card(box)));
  else
    refresh();
}

function show(lab) {
  user = lab.user || null;
  showUser();
  keepingFocus(() => boxes.replaceChildren(...lab.boxes.map(card)));
}

// The whole lab, every 2 s. An answer asked for before a card was redrawn
// from a switch may be older than that card: it is left for the next one.
async function refresh() {
  const asked = changes;
  try {
    const lab = await call("GET", "/api/v1/lab");
    if (asked === changes) show(lab);
  } catch (e) { say("Cannot read the lab: " + e.message); }
}

refresh();
setInterval(refresh, 2000);
</script>
</body>
</html>
)html";
}
