// The live page: the channel tree with its players from the JSON API every 2 s, the player
// actions posted to it with the session's token, and the charts of the last hour drawn as SVG.
// Every value from the server goes into the page as text, never as markup.
(function() {
'use strict';
const root = document.getElementById('live');
if (!root) return;
const server = root.dataset.server;
const api = '/api/v1/servers/' + encodeURIComponent(server);
const tokenField = document.querySelector('#tokenform input[name="vhtoken"]');
const token = tokenField ? tokenField.value : '';
const tree = document.getElementById('tree');
const status = document.getElementById('status');
let channels = [];

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
function say(text, bad) {
  status.textContent = text;
  status.className = bad ? 'bad' : '';
}
function duration(s) {
  if (s < 60) return s + ' s';
  if (s < 3600) return Math.floor(s / 60) + ' min';
  return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min';
}
async function getJson(path) {
  const r = await fetch(api + path, {credentials: 'same-origin', cache: 'no-store'});
  const body = await r.json();
  if (!r.ok) throw new Error(body.error || r.statusText);
  return body;
}
async function act(player, action, fields) {
  const form = new URLSearchParams(fields || {});
  form.set('vhtoken', token);
  try {
    const r = await fetch(
        api + '/players/' + player + '/' + action,
        {method: 'POST', credentials: 'same-origin', body: form});
    const body = await r.json();
    say(r.ok ? action + ': OK' : action + ': ' + body.error, !r.ok);
  } catch (e) {
    say(action + ': ' + e.message, true);
  }
  // The menu that started the action is done with: the next refresh may redraw it.
  if (tree.contains(document.activeElement)) document.activeElement.blur();
  refresh();
}

function privileges(p) {
  const out = [];
  if (p.serverAdmin) out.push('server admin');
  if (p.registered)
    out.push('registered');
  else
    out.push('anonymous');
  if (p.channelAdmin) out.push('channel admin');
  if (p.operator) out.push('operator');
  if (p.autoOperator) out.push('auto-operator');
  if (p.voice) out.push('voice');
  if (p.autoVoice) out.push('auto-voice');
  if (p.sticky) out.push('sticky');
  return out.join(', ');
}

function playerRow(p) {
  const li = el('li', 'player');
  li.dataset.player = p.id;
  li.appendChild(el('span', 'nick', p.nickname));
  let facts = (p.loginName ? 'login ' + p.loginName + ' · ' : '') + privileges(p) + ' · ping ' +
      p.pingMs + ' ms · loss ' + p.lossPercent.toFixed(2) + ' %' +
      ' · connected ' + duration(p.connectedSeconds) + ' · idle ' + duration(p.idleSeconds);
  if (p.address !== undefined) facts += ' · ' + p.address;
  li.appendChild(el('span', 'facts', facts));
  const actions = el('span', 'actions');
  const kick = el('button', 'kick', 'Kick');
  kick.type = 'button';
  kick.onclick = () => {
    const reason = window.prompt('Kick ' + p.nickname + ' from the server. Reason:', '');
    if (reason !== null) act(p.id, 'kick', {reason});
  };
  const channelKick = el('button', 'channelkick', 'Kick from channel');
  channelKick.type = 'button';
  channelKick.onclick = () => {
    const reason = window.prompt('Kick ' + p.nickname + ' from the channel. Reason:', '');
    if (reason !== null) act(p.id, 'kick-from-channel', {reason});
  };
  const move = el('select', 'move');
  move.setAttribute('aria-label', 'Move to channel');
  move.appendChild(el('option', '', 'Move to…')).value = '';
  for (const c of channels)
    if (c.id !== p.channel) move.appendChild(el('option', '', c.name)).value = c.id;
  move.onchange = () => {
    if (move.value) act(p.id, 'move', {channel: move.value});
  };
  const ban = el('select', 'ban');
  ban.setAttribute('aria-label', 'Ban the address');
  for (const [label, minutes] of [
           ['Ban…', ''], ['10 minutes', 10], ['1 hour', 60], ['1 day', 1440], ['for ever', 0]])
    ban.appendChild(el('option', '', label)).value = minutes;
  ban.onchange = () => {
    if (ban.value !== '' && window.confirm('Ban the address of ' + p.nickname + '?'))
      act(p.id, 'ban', {minutes: ban.value});
    ban.value = '';
  };
  const priv = el('select', 'privilege');
  priv.setAttribute('aria-label', 'Player privilege');
  for (const [label, name, value] of [
           ['Privilege…', '', ''],
           [
             p.serverAdmin ? 'Revoke server admin' : 'Grant server admin', 'privilege_serveradmin',
             p.serverAdmin ? 0 : 1
           ],
           [
             p.canRegister ? 'Revoke may register' : 'Grant may register', 'privilege_canregister',
             p.canRegister ? 0 : 1
           ],
           [
             p.sticky ? 'Revoke sticky' : 'Grant sticky', 'privilege_channelsticky',
             p.sticky ? 0 : 1
           ]]) {
    const o = priv.appendChild(el('option', '', label));
    o.value = name;
    o.dataset.value = value;
  }
  priv.onchange = () => {
    const o = priv.selectedOptions[0];
    if (priv.value) act(p.id, 'privilege', {privilege: priv.value, value: o.dataset.value});
  };
  const chanPriv = el('select', 'channelprivilege');
  chanPriv.setAttribute('aria-label', 'Channel privilege');
  chanPriv.appendChild(el('option', '', 'Channel privilege…')).value = '';
  for (const [label, name] of [
           ['channel admin', 'channelAdmin'], ['operator', 'operator'], ['voice', 'voice'],
           ['auto-operator', 'autoOperator'], ['auto-voice', 'autoVoice']]) {
    const o = chanPriv.appendChild(el('option', '', (p[name] ? 'Revoke ' : 'Grant ') + label));
    o.value = name;
    o.dataset.value = p[name] ? 0 : 1;
  }
  chanPriv.onchange = () => {
    const o = chanPriv.selectedOptions[0];
    if (chanPriv.value)
      act(p.id, 'channel-privilege', {privilege: chanPriv.value, value: o.dataset.value});
  };
  actions.append(kick, channelKick, move, ban, priv, chanPriv);
  li.appendChild(actions);
  return li;
}

function render(players) {
  const byChannel = new Map();
  for (const p of players) {
    if (!byChannel.has(p.channel)) byChannel.set(p.channel, []);
    byChannel.get(p.channel).push(p);
  }
  const order = (a, b) => a.order - b.order || a.name.localeCompare(b.name);
  const list = el('ul');
  const add = (parentList, c) => {
    const li = el('li');
    li.appendChild(el('span', 'channel', c.name + (c.default ? ' (default)' : '')));
    const inner = el('ul');
    for (const p of byChannel.get(c.id) || []) inner.appendChild(playerRow(p));
    for (const sub of channels.filter(s => s.parent === c.id).sort(order)) add(inner, sub);
    li.appendChild(inner);
    parentList.appendChild(li);
  };
  for (const c of channels.filter(c => c.parent === -1).sort(order)) add(list, c);
  tree.replaceChildren(list);
}

async function refresh() {
  // A menu the operator has open is not pulled away from under him.
  if (tree.contains(document.activeElement) && document.activeElement.tagName === 'SELECT') return;
  try {
    const [c, p] = await Promise.all([getJson('/channels'), getJson('/players')]);
    channels = c.channels;
    render(p.players);
    root.dataset.players = p.players.length;
  } catch (e) {
    say(e.message, true);
  }
}

// ---- charts -------------------------------------------------------------------------
const charts = document.getElementById('charts');
const series = [
  {title: 'Players', columns: [1], unit: ''},
  {title: 'Voice in / out', columns: [6, 7], unit: ' B/s'},
  {title: 'Commands in / out', columns: [8, 9], unit: ' B/s'},
  {title: 'Average loss', columns: [4], unit: ' %'},
  {title: 'Average ping', columns: [5], unit: ' ms'},
];
const svgNs = 'http://www.w3.org/2000/svg';
function drawCharts(samples) {
  charts.replaceChildren();
  const now = samples.length ? samples[samples.length - 1][0] : 0;
  for (const s of series) {
    const box = el('div', 'chart');
    let max = 0;
    for (const row of samples)
      for (const c of s.columns) max = Math.max(max, row[c]);
    const last =
        samples.length ? s.columns.map(c => samples[samples.length - 1][c]).join(' / ') : '-';
    box.appendChild(el('h3', '', s.title + ': ' + last + s.unit + ' (peak ' + max + s.unit + ')'));
    const svg = document.createElementNS(svgNs, 'svg');
    svg.setAttribute('viewBox', '0 0 3600 100');
    svg.setAttribute('preserveAspectRatio', 'none');
    svg.setAttribute('role', 'img');
    svg.setAttribute('aria-label', s.title);
    s.columns.forEach((c, i) => {
      const line = document.createElementNS(svgNs, 'polyline');
      if (i) line.setAttribute('class', 'second');
      line.setAttribute(
          'points',
          samples.map(r => (3600 - (now - r[0])) + ',' + (max ? 98 - 96 * r[c] / max : 98))
              .join(' '));
      line.dataset.max = max;
      svg.appendChild(line);
    });
    box.appendChild(svg);
    charts.appendChild(box);
  }
}
async function refreshCharts() {
  try {
    drawCharts((await getJson('/statistics')).samples);
  } catch (e) {
    say(e.message, true);
  }
}

refresh();
refreshCharts();
setInterval(refresh, 2000);
setInterval(refreshCharts, 5000);
})();
