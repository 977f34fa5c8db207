// The control API's page: every device in a table, read again twice a second, with
// its controls. It asks the API as any client does (with the page's ?token=).
#pragma once

namespace zolhost {

inline constexpr char kControlPage[] = R"zolpage(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>zolhost serve</title>
<style>
body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}
td,th{border:1px solid #ccc;padding:.2em .5em;text-align:left}
.unplugged{background:#fdd}.frozen{background:#def}#error{color:#b00}
tbody td:nth-child(10){font-family:monospace}td span{white-space:nowrap}
</style></head><body>
<h1>zolhost serve</h1><p id="error"></p>
<table><thead><tr><th>device</th><th>engine</th><th>host end</th><th>state</th><th>requests</th>
<th>replies</th><th>faults applied</th><th>faults</th><th>pace</th><th>latest frame</th><th>controls</th></tr></thead>
<tbody id="devices"></tbody></table>
<script>
const token = new URLSearchParams(location.search).get('token');
const auth = token ? {'Authorization': 'Bearer ' + token} : {};
const typed = {};  // what is typed in each device's boxes, kept across refreshes
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
    {method: 'POST', headers: Object.assign({'Content-Type': 'application/json'}, auth), body: body || ''});
  if (!r.ok) document.getElementById('error').textContent = (await r.json()).error;
  refresh();
}
function button(index, action, label) {
  const b = document.createElement('button');
  b.textContent = label; b.dataset.action = action; b.dataset.device = index;
  b.onclick = () => steer(index, action);
  return b;
}
function row(d) {
  const tr = document.createElement('tr');
  tr.id = 'device-' + d.index; tr.className = d.state;
  for (const v of [d.index, d.engine, d.host_end, d.state, d.requests, d.replies, d.faults_applied,
                   faultsText(d.faults), d.faults.pace_baud ? d.faults.pace_baud + ' baud' : 'not paced',
                   d.last_frame]) {
    const td = document.createElement('td'); td.textContent = v; tr.appendChild(td);
  }
  const td = document.createElement('td');
  td.appendChild(d.plugged ? button(d.index, 'unplug', 'unplug') : button(d.index, 'plug', 'plug'));
  td.appendChild(d.frozen ? button(d.index, 'thaw', 'thaw') : button(d.index, 'freeze', 'freeze'));
  for (const [field, label] of [['drop_pct', 'drop %'], ['pace_baud', 'pace baud']]) {
    const box = document.createElement('input'); box.size = 5; box.placeholder = label;
    box.dataset.device = d.index; box.dataset.field = field;
    const key = d.index + ' ' + field;
    box.value = typed[key] || '';
    box.oninput = () => { typed[key] = box.value; };
    const set = document.createElement('button'); set.textContent = 'set ' + label;
    set.onclick = () => steer(d.index, 'faults', JSON.stringify({[field]: Number(box.value || 0)}));
    const pair = document.createElement('span'); pair.append(' ', box, set); td.appendChild(pair);
  }
  tr.appendChild(td);
  return tr;
}
async function refresh() {
  try {
    const r = await fetch('api/devices', {headers: auth});
    const j = await r.json();
    if (!r.ok) { document.getElementById('error').textContent = j.error; return; }
    const typing = document.activeElement && document.activeElement.tagName === 'INPUT'
      ? 'input[data-device="' + document.activeElement.dataset.device + '"][data-field="' +
        document.activeElement.dataset.field + '"]' : null;
    document.getElementById('devices').replaceChildren(...j.devices.map(row));
    if (typing !== null) {  // the box being typed in stays focused, its text and caret as they were
      const box = document.querySelector(typing);
      if (box) { box.focus(); box.setSelectionRange(box.value.length, box.value.length); }
    }
    document.body.dataset.loaded = 'yes';
  } catch (e) { document.getElementById('error').textContent = 'serve has ended? ' + e; }
}
refresh(); setInterval(refresh, 500);
</script></body></html>
)zolpage";

}  // namespace zolhost
