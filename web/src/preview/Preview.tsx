// Placeholder: the preview screen is written on its own branch and replaces this file.
import { useParams } from "react-router-dom";

export default function Preview() {
  const { treeType, id } = useParams();
  return (
    <main>
      <h1>Preview</h1>
      <p>
        The preview of tree {treeType}/{id} is not available yet.
      </p>
    </main>
  );
}
