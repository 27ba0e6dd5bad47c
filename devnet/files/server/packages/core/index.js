'use strict';
// Client-side core package of the demo servers. It only shows the HUD; the
// demo network serves it so that the launcher has real text to fetch, which
// the web server sends gzip-compressed.

const config = require('./config.json');

const state = {
    money: config.economy.startMoney,
    server: '',
    menuOpen: false,
};

function formatMoney(value) {
    return String(value).replace(/\B(?=(\d{3})+(?!\d))/g, ' ');
}

function render() {
    const money = document.getElementById('money');
    const server = document.getElementById('server');
    if (money)
        money.textContent = formatMoney(state.money);
    if (server)
        server.textContent = state.server;
}

function onSalary(amount) {
    state.money += amount;
    render();
}

function onServerJoined(name) {
    state.server = name;
    render();
}

function onKey(event) {
    if (event.key === 'm' || event.key === 'M') {
        state.menuOpen = !state.menuOpen;
        document.body.classList.toggle('menu-open', state.menuOpen);
    }
}

function start() {
    document.addEventListener('keydown', onKey);
    render();
    setInterval(() => onSalary(250), config.economy.salaryIntervalMinutes * 60 * 1000);
}

module.exports = { start, onSalary, onServerJoined, formatMoney };

if (typeof window !== 'undefined')
    window.addEventListener('load', start);
