export function EditorPage() {
  return (
    <main>
      <h1>Tree editor</h1>
    </main>
  );
}
