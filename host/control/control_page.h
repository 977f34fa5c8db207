// The control API's page: every device in a table, read again twice a second, and
// under each its controls: unplug or plug, freeze or thaw, and every fault the API
// takes with the pace (a box left empty leaves that one as it is). It asks the API
// as any client does, from its own origin; a token it was opened with
// (/?token=T) is in a cookie that only its own requests carry.
#pragma once

namespace zolhost {

inline constexpr char kControlPage[] = R"zolpage(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>zolhost serve</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>
body{font-family:sans-serif;margin:1em;max-width:100%}table{border-collapse:collapse;width:100%}
td,th{border:1px solid #ccc;padding:.2em .4em;text-align:left;vertical-align:top}
td.end{word-break:break-all}td.frame{font-family:monospace}
tr.controls td{border-top:none;background:#fafafa}tr.controls label{white-space:nowrap;margin-right:.6em}
tr.controls input{width:5em}tr.controls button{margin-right:.4em}
.unplugged{background:#fdd}.frozen{background:#def}#error{color:#b00;min-height:1.2em}
</style></head><body>
<h1>zolhost serve</h1><p id="error"></p>
<table><thead><tr><th>device</th><th>engine</th><th>host end</th><th>state</th><th>requests</th>
<th>replies</th><th>faults applied</th><th>faults</th><th>pace</th><th>latest frame</th></tr></thead>
<tbody id="devices"></tbody></table>
<script>
const typed = {};  // what is typed in each device's boxes, kept across refreshes
const boxes = [['drop_pct', 'drop %', '0-100'], ['corrupt_pct', 'corrupt %', '0-100'],
               ['delay_ms', 'delay ms', '5 or 5-50'], ['split_ms', 'split ms', 'ms or off'],
               ['pace_baud', 'pace baud', '0: none']];
function say(text) { document.getElementById('error').textContent = text; }
function faultsText(f) {
  const parts = [];
  if (f.drop_pct) parts.push('drop ' + f.drop_pct + '%');
  if (f.corrupt_pct) parts.push('corrupt ' + f.corrupt_pct + '%');
  if (f.delay_ms[1]) parts.push('delay ' + f.delay_ms[0] + '-' + f.delay_ms[1] + ' ms');
  if (f.split_ms !== null) parts.push('split ' + f.split_ms + ' ms');
  return parts.length ? parts.join(', ') : 'none';
}
async function steer(index, action, body) {
  const r = await fetch('api/devices/' + index + '/' + action,
    {method: 'POST', headers: {'Content-Type': 'application/json'}, body: body || ''});
  say(r.ok ? '' : 'device ' + index + ': ' + (await r.json()).error);
  refresh();
}
// The faults request from a device's boxes: only the boxes with something in them.
function faultsBody(index) {
  const body = {};
  for (const [field] of boxes) {
    const text = (typed[index + ' ' + field] || '').trim();
    if (text === '') continue;
    if (field === 'split_ms' && /^(off|none)$/i.test(text)) { body[field] = null; continue; }
    const range = field === 'delay_ms' ? text.match(/^(\d+)\s*-\s*(\d+)$/) : null;
    if (range) { body[field] = [Number(range[1]), Number(range[2])]; continue; }
    if (!/^\d+(\.\d+)?$/.test(text)) throw new Error(field + ': "' + text + '" is not a number');
    body[field] = Number(text);
  }
  if (!Object.keys(body).length) throw new Error('nothing typed to set');
  return JSON.stringify(body);
}
function button(index, action, label) {
  const b = document.createElement('button');
  b.textContent = label; b.dataset.action = action; b.dataset.device = index;
  b.onclick = () => {
    if (action !== 'faults') return steer(index, action);
    try { steer(index, 'faults', faultsBody(index)); } catch (e) { say('device ' + index + ': ' + e.message); }
  };
  return b;
}
function rows(d) {
  const tr = document.createElement('tr');
  tr.id = 'device-' + d.index; tr.className = d.state;
  const cells = [d.index, d.engine, d.host_end, d.state, d.requests, d.replies, d.faults_applied, faultsText(d.faults),
                 d.faults.pace_baud ? d.faults.pace_baud + ' baud' : 'not paced', d.last_frame];
  cells.forEach((v, i) => {
    const td = document.createElement('td'); td.textContent = v;
    if (i === 2) td.className = 'end';
    if (i === 9) td.className = 'frame';
    tr.appendChild(td);
  });
  const controls = document.createElement('tr');
  controls.id = 'controls-' + d.index; controls.className = 'controls';
  const td = document.createElement('td'); td.colSpan = cells.length;
  td.append(d.plugged ? button(d.index, 'unplug', 'unplug') : button(d.index, 'plug', 'plug'),
            d.frozen ? button(d.index, 'thaw', 'thaw') : button(d.index, 'freeze', 'freeze'));
  for (const [field, label, hint] of boxes) {
    const box = document.createElement('input'); box.placeholder = hint;
    box.dataset.device = d.index; box.dataset.field = field;
    const key = d.index + ' ' + field;
    box.value = typed[key] || '';
    box.oninput = () => { typed[key] = box.value; };
    const l = document.createElement('label'); l.append(label + ' ', box); td.appendChild(l);
  }
  td.appendChild(button(d.index, 'faults', 'set faults'));
  controls.appendChild(td);
  return [tr, controls];
}
async function refresh() {
  try {
    const r = await fetch('api/devices');
    const j = await r.json();
    if (!r.ok) {
      say(r.status === 401 ? 'this API needs its token: open this page as URL?token=TOKEN, both in the devices\' JSON'
                           : j.error);
      return;
    }
    const active = document.activeElement;
    const typing = active && active.tagName === 'INPUT'
      ? 'input[data-device="' + active.dataset.device + '"][data-field="' + active.dataset.field + '"]' : null;
    document.getElementById('devices').replaceChildren(...j.devices.flatMap(rows));
    if (typing !== null) {  // the box being typed in stays focused, its text and caret as they were
      const box = document.querySelector(typing);
      if (box) { box.focus(); box.setSelectionRange(box.value.length, box.value.length); }
    }
    document.body.dataset.loaded = 'yes';
  } catch (e) { say('serve has ended? ' + e); }
}
refresh(); setInterval(refresh, 500);
</script></body></html>
)zolpage";

}  // namespace zolhost
