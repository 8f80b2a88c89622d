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
function showUser(user) {
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

const outletNames = {};

async function act(box, outlet, label, what) {
  if (what !== "on" &&
      !window.confirm(what === "off" ? "Switch " + label + " off?"
                                     : "Power-cycle " + label + "?"))
    return;
  say((what === "cycle" ? "Cycling " : "Switching ") + label + "...");
  try {
    if (what === "cycle")
      await call("POST", "/api/v1/boxes/" + box + "/cycle", { outlets: [outlet] });
    else
      await call("PUT", "/api/v1/boxes/" + box, { state: what, outlets: [outlet] });
    say(label + ": " + (what === "cycle" ? "cycled" : what));
  } catch (e) {
    say(label + ": " + e.message);
  }
  refresh();
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

function show(lab) {
  const focused = document.activeElement && document.activeElement.dataset
      ? Object.assign({}, document.activeElement.dataset) : null;
  const parts = [];
  const me = lab.user && lab.user.name ? lab.user.name : "";
  showUser(lab.user);
  for (const box of lab.boxes) {
    const section = document.createElement("section");
    const title = document.createElement("h2");
    title.textContent = box.name + " (line " + box.line + ", address " +
                        box.address + ")";
    section.appendChild(title);
    const table = document.createElement("table");
    for (let n = 1; n <= 8; ++n) {
      const outlet = box.outlets[String(n)];
      const label = outlet.name ? outlet.name + " (outlet " + n + ")"
                                : "outlet " + n + " of " + box.name;
      const row = document.createElement("tr");
      const name = document.createElement("td");
      name.textContent = outlet.name ? outlet.name : "outlet " + n;
      const state = document.createElement("td");
      state.textContent = outlet.state;
      state.className = outlet.state;
      state.id = "state-" + box.name + "-" + n;
      if (outlet.name) outletNames[box.name + "/" + n] = outlet.name;
      const held = outlet.lease && outlet.lease.holder !== me;
      const leaseCell = document.createElement("td");
      leaseCell.className = "lease";
      leaseCell.id = "lease-" + box.name + "-" + n;
      leaseCell.textContent = outlet.lease ? "leased to " + outlet.lease.holder +
          " until " + outlet.lease.until : "";
      const actions = document.createElement("td");
      for (const [text, what] of [["On", "on"], ["Off", "off"], ["Cycle", "cycle"]]) {
        const b = button(text, box.name, n, label, what);
        b.disabled = outlet.may === false || held;
        actions.appendChild(b);
      }
      if (me && outlet.name && outlet.may !== false && !held)
        actions.appendChild(button(outlet.lease ? "End lease" : "Lease 1 h",
            box.name, n, label, outlet.lease ? "unlease" : "lease"));
      else if (me && outlet.name && held && lab.user.lease_admin)
        actions.appendChild(button("End lease", box.name, n, label, "unlease"));
      if (outlet.may === false || held) {
        row.className = "greyed";
        row.title = outlet.may === false ? "You may not switch " + label
                                         : label + " is leased to " + outlet.lease.holder;
      }
      row.append(name, state, leaseCell, actions);
      table.appendChild(row);
    }
    section.appendChild(table);
    parts.push(section);
  }
  boxes.replaceChildren(...parts);
  if (focused && focused.box) {
    const again = boxes.querySelector('button[data-box="' + focused.box +
        '"][data-outlet="' + focused.outlet + '"][data-action="' +
        focused.action + '"]');
    if (again) again.focus();
  }
}

async function refresh() {
  try { show(await call("GET", "/api/v1/lab")); }
  catch (e) { say("Cannot read the lab: " + e.message); }
}

refresh();
setInterval(refresh, 2000);
</script>
</body>
</html>
)html";
}
