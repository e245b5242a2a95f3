// Parses PowerShell scripts with the tree-sitter PowerShell grammar (no
// PowerShell runs here). Reads a JSON array of scripts on standard input and
// prints, for each, the syntax errors the grammar found:
//   [{"errors": [{"row": 3, "column": 7, "text": "..."}]}, ...]
// The modules are looked up in NODE_PATH (scripts/setup.sh installs them).
const { Parser, Language } = require('web-tree-sitter');

function errorsOf(node, found) {
  if (node.isError || node.isMissing) {
    found.push({ row: node.startPosition.row + 1,
                 column: node.startPosition.column + 1,
                 text: node.isMissing ? 'missing ' + node.type : node.text });
  } else if (node.hasError) {
    for (const child of node.children) errorsOf(child, found);
  }
  return found;
}

async function main() {
  let input = '';
  for await (const chunk of process.stdin) input += chunk;
  await Parser.init();
  const grammar = require.resolve(
      'tree-sitter-powershell/tree-sitter-powershell.wasm');
  const parser = new Parser();
  parser.setLanguage(await Language.load(grammar));
  const results = JSON.parse(input).map((script) => {
    const tree = parser.parse(script);
    const result = { errors: errorsOf(tree.rootNode, []) };
    tree.delete();
    return result;
  });
  // The grammar's runtime keeps the event loop alive: end once written.
  process.stdout.write(JSON.stringify(results), () => process.exit(0));
}

main().catch((error) => {
  process.stderr.write(String(error && error.stack || error) + '\n');
  process.exit(2);
});
